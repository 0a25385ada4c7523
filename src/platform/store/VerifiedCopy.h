#pragma once

#include "FileAttributes.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <sys/stat.h>

// Copying a document's contents into the store as one state of the document,
// never parts of two saves.
namespace strataloom::store {

struct VerifiedCopy {
    std::string checksum; // kChecksumSize raw bytes, of the copy's logical contents
    FileDates dates; // the source's, as of the state copied
    struct stat status {}; // the source's status in that state
};

// A stored file the source may still hold, and its checksum.
struct KnownContents {
    int fd = -1;
    std::string checksum;
};

// Copies the regular file `in` into the empty stored file `out` (open for
// reading and writing), keeping holes, gives the copy the source's dates, and
// makes sure the copy holds one state of the source. The size and both times
// of the source are stamped when a write begins, so a write in progress at the
// first look leaves them unchanged while its bytes land in the middle of the
// copy: the copy is accepted only when the source, read again after it, still
// gives the copy's checksum and its size and times are unchanged. A clone
// shares the source's extents and is taken whole under the file's lock; its
// checksum is the one read from the source, unless the source was changed in
// the last moment, when a write could pass unstamped, and the clone is read
// back too. A source that keeps changing is copied again, a few times, before
// the copy fails. With `syncNow` the copy is also on stable storage when this
// returns: its fdatasync runs while it is verified. `buffer` serves every
// read; `sourceName` names the source in the message `error` receives.
std::optional<VerifiedCopy> copyVerified(int in, int out, char* buffer, std::size_t bufferSize,
                                         const std::string& sourceName, bool syncNow, std::string* error = nullptr);

// The regular file `in` as holding `known`'s contents, without a copy or a
// read: when it shares every extent of their file (a clone of it left
// untouched, on btrfs or XFS), had rested before the look, so that a write
// during it stamps a new change time, and kept its size and times across it.
// Empty when that cannot be told; the contents are then copied.
std::optional<VerifiedCopy> matchKnown(int in, const KnownContents& known);

// The bytes a stored file really takes on disk, from its status: its
// allocated blocks, so a sparse copy counts its data and not its length.
// Extents a clone shares with its source count in full.
std::uint64_t allocatedBytes(const struct stat& status);

// Tests only: `hook` runs after each step of every copy, the last one just
// before the copy's verification, with the offset reached, so that a test can
// change the source at that instant. Empty to remove it.
void setCopyStepHookForTests(std::function<void(std::uint64_t reached)> hook);

} // namespace strataloom::store
