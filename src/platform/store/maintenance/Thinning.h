#pragma once

#include "RetentionSchedule.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The thinning pass: applies the retention rules to the store's versions and
// removes those they let go.
namespace strataloom {

struct ThinningOptions {
    RetentionSchedule schedule;
    std::int64_t nowNs = 0; // the moment the schedule is measured from, ns since 1970
    std::optional<std::uint64_t> maxBytes; // the cap on all versions' bytes; none when empty
    bool dryRun = false;
    // Called once the versions to remove are chosen, before any goes; a test
    // changes the store there as another process could.
    std::function<void()> beforeRemoving;
    // Whether the result lists every document and decision, as `thin` shows
    // them; without, only the counts are kept and a large store's pass needs
    // less memory (the watcher's).
    bool keepDecisions = true;
};

struct ThinnedDocument {
    std::string id;
    std::optional<std::string> path; // where it was last seen
};

// Kept small: a pass over a large store holds one per version.
struct ThinningDecision {
    std::uint32_t document = 0; // in ThinningResult::documents
    std::uint32_t index = 0; // among its document's versions, as `versions` numbers them
    std::int64_t takenNs = 0;
    std::uint64_t size = 0; // as recorded
    Retention retention = Retention::Thinned;
};

struct ThinningResult {
    // Every version looked at, by document and index, with keepDecisions.
    std::vector<ThinnedDocument> documents;
    std::vector<ThinningDecision> decisions;
    // Versions removed, or that would be in a dry run; one pinned or removed
    // by someone else before the pass reached it is left as it is (Changed).
    std::size_t removed = 0;
    std::uint64_t bytesFreed = 0; // their recorded sizes
};

// The options the user's settings give: the schedule and the size cap
// ("retentionMaxBytes", by default a tenth of the file system the store is on),
// which counts the bytes the stored files take on disk.
ThinningOptions thinningOptionsFromSettings(const std::string& storeLocation);

// Applies the rules to every document, and the size cap over all of them;
// empty, with the reason in `error`, when the store cannot be read or a
// removal fails (the removals made until then stand).
std::optional<ThinningResult> thinStore(const std::string& storeLocation, const ThinningOptions& options,
                                        std::string* error = nullptr);

// The same for only the documents these files are, as listing finds them (the
// watcher's pass after saving them); the size cap, which weighs every
// document, is left for a whole pass. No document at all when empty.
std::optional<ThinningResult> thinDocuments(const std::string& storeLocation, const ThinningOptions& options,
                                            const std::vector<std::string>& documentPaths,
                                            std::string* error = nullptr);

} // namespace strataloom
