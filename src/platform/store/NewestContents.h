#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Whether a document's file still holds its newest version: the one rule for
// the watcher (is this save new?) and for listing (is the newest automatic
// version the current contents?). Unchanged means the same contents; size and
// modification time prove nothing (`touch -r`, `cp -p`, coarse time stamps),
// so the file is read and checksummed unless it is provably the very file,
// untouched, that was last seen holding those contents.
struct stat;

namespace strataloom {
class SqliteStatement;
}

namespace strataloom::store {

class StoreIndex;
struct Document;

// A file as last seen holding a version's contents. Any write, and any change
// of its times, gives it a new change time, which no one can set back.
struct SeenState {
    std::int64_t device = 0;
    std::int64_t inode = 0;
    std::int64_t modificationNs = 0;
    std::int64_t changeTimeNs = 0;
    bool operator==(const SeenState&) const = default;
};

struct NewestContents {
    std::uint64_t size = 0;
    std::string checksum; // kChecksumSize raw bytes
    // Where the document's file was seen holding them, if known.
    std::optional<SeenState> seen;
};

SeenState seenStateOf(const struct stat& status);

// Whether the file is, untouched, the one last seen holding `newest`.
bool stillAsSeen(const struct stat& status, const NewestContents& newest);

// Whether the open regular file `fd`, whose fstat is `status`, holds
// `newest`; none, with the reason in `error`, when it cannot be read. The
// file's offset is back at its start afterwards.
std::optional<bool> holdsContents(int fd, const struct stat& status, const NewestContents& newest,
                                  std::string* error = nullptr);

// The state worth recording for a file that holds a version's contents: none
// while its change time is so recent that a write to come could leave it
// unchanged (time stamps are as coarse as the file system's clock tick, two
// seconds on some), or when it lies in the future.
std::optional<SeenState> recordableState(const struct stat& status);

// The document's newest version and its position; none when it has none.
bool readNewest(StoreIndex& index, const Document& document, std::optional<NewestContents>& newest,
                std::int64_t& position, std::string* error = nullptr);
// The seen state in the two columns from `column` on of a row of `document`'s versions.
std::optional<SeenState> seenColumns(SqliteStatement& row, int column, const Document& document);

} // namespace strataloom::store
