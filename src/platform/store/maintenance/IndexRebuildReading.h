#pragma once

#include "DocumentLog.h"
#include "FileAttributes.h"
#include "IndexRebuild.h"
#include "RecordResolution.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// A rebuild's reading of the documents' folders: their logs, stored files and
// records, and what each version's contents are now.
namespace strataloom::store {

struct FoundVersion {
    std::string file;
    std::string record; // the record holding its contents, resolved once every log is read
    std::uint64_t size = 0;
    std::uint64_t storedBytes = 0; // of its own file, when it is one
    std::uint64_t inode = 0;
    std::int64_t changeTimeNs = 0;
    std::string checksum;
    FileDates dates;
    std::int64_t addedNs = 0;
    bool automatic = false;
    bool pinned = false;
};

struct FoundDocument {
    std::string uuid;
    std::optional<LoggedLocation> location;
    std::int64_t createdNs = 0;
    std::vector<FoundVersion> versions;
    bool logged = false;
};

// A document's versions: those its log records, in the log's order, each
// naming the record that held its contents when it was added (resolved once
// every log is read); the records it logged and the versions' own stored
// files that are there whole go to `resolution`, as `position`'s. A document
// without a log gets every stored file, in the order of their modification
// dates, with their own dates and checksums. Empty for a forgotten document,
// or, reported, one that cannot be read.
std::optional<FoundDocument> readDocument(int documentsFd, const std::string& uuid, std::size_t position,
                                          RecordResolution& resolution,
                                          const std::function<void(const std::string&)>& failed);

// Each version's record as it stands now, switches followed; a version whose
// contents no present chain of records holds is left out (and counted, unless
// it is an add that failed after its log, as always). Returns the records the
// versions name.
std::vector<std::string> resolveVersions(int documentsFd, std::vector<FoundDocument>& documents,
                                         RecordResolution& resolution, RebuildResult& result);

} // namespace strataloom::store
