#pragma once

#include "StoreIndex.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

// Removing single versions and pinning them, durably and crash-safely. Each
// change is confirmed row by row inside the index transaction that makes it,
// so a version changed by someone else since it was chosen is left as it is.
namespace strataloom::store {

struct VersionRef {
    std::string documentId;
    std::string file;
    // Only while it is still an unpinned automatic version, as thinning chose
    // it; the user's own removal takes it as it is.
    bool onlyIfThinnable = false;
};

// Removes the versions still recorded (and, with `onlyIfThinnable`, still
// unpinned and automatic): inside one index transaction the rows are deleted
// and a removal record, only for the rows deleted, is made durable in each
// document's log before the commit; then the records they named are let go
// unless another version still names them (releaseRecords(): a record
// another is a delta against is re-based first). `removed`, when given, gets
// one flag per version: whether it went. True once the removals survive a
// power cut; a version gone or changed meanwhile is no failure. A crash
// before the commit leaves the version listed with a removal record, as a
// crash between log and index always did (the next pass removes it again);
// after it, at worst records no version names, which prune lets go.
bool removeVersions(StoreIndex& index, std::span<const VersionRef> versions, std::vector<bool>* removed = nullptr,
                    std::string* error = nullptr);

// Called by removeVersions() between a round's index rows and its records; a
// test stops a removal there to meet it part-way.
void setRemovalPauseForTests(std::function<void()> pause);

// Marks the versions as kept from thinning, or no longer: the log records it
// first, then the index. `changed`, when given, gets one flag per version:
// whether it was still recorded and not already so.
bool setPinned(StoreIndex& index, std::span<const VersionRef> versions, bool pinned,
               std::vector<bool>* changed = nullptr, std::string* error = nullptr);

} // namespace strataloom::store
