#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Compaction: the whole records of older versions re-encoded as deltas
// against their newer neighbours (or compressed), as adds do from now on for
// the version a new one follows. Histories stored by earlier formats are whole
// records only.
namespace strataloom {

struct CompactionOptions {
    bool dryRun = false;
    // Asked between records; true ends the pass, which a later one resumes.
    std::function<bool()> shouldStop;
    // Told before each record: how many were done of how many, and the path of
    // the document whose record it is.
    std::function<void(std::size_t done, std::size_t total, const std::string& document)> progress;
    // A whole-store pass begins with the document of this index row id (a
    // pass stopped before gives it), skipping those before it.
    std::int64_t fromDocument = 0;
};

struct CompactionResult {
    std::size_t candidates = 0; // whole records of older versions found
    std::size_t reEncoded = 0; // made deltas or compressed (in a dry run: none)
    std::size_t keptWhole = 0; // a delta or compression would not have paid
    // What the records looked at took on disk before, and take now.
    std::uint64_t bytesBefore = 0;
    std::uint64_t bytesAfter = 0;
    bool interrupted = false;
    // When interrupted: the document whose records were not all done, where
    // the next pass takes up the work (CompactionOptions::fromDocument).
    std::int64_t stoppedAtDocument = 0;
};

// Re-encodes, newest first within each document, every whole record that
// only older versions of the document holding it name. Each record is its
// own crash-safe step (see docs/STORE.md), so a pass stopped or killed at any
// moment leaves every version readable, and the next pass goes on where it
// stopped. Empty, with the reason in `error`, when the store cannot be read
// or a step fails (the steps done until then stand).
std::optional<CompactionResult> compactStore(const std::string& storeLocation, const CompactionOptions& options,
                                             std::string* error = nullptr);

// The same for only the documents these files are, as listing finds them (the
// watcher's, after saving them).
std::optional<CompactionResult> compactDocuments(const std::string& storeLocation,
                                                 const std::vector<std::string>& documentPaths,
                                                 const CompactionOptions& options, std::string* error = nullptr);

} // namespace strataloom
