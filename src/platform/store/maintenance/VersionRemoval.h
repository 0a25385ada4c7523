#pragma once

#include "StoreIndex.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>

// Removing single versions and pinning them, durably and crash-safely: each
// document's log records the change first, then the index, then (for a
// removal) the stored file goes. A crash between the index and the file
// leaves only an unreferenced file, which prune removes.
namespace strataloom::store {

struct VersionRef {
    std::string documentId;
    std::string file;
};

// Removes the versions; true once their removal survives a power cut. A
// version already gone is no failure.
bool removeVersions(StoreIndex& index, std::span<const VersionRef> versions, std::string* error = nullptr);

// Called by removeVersions() between a round's index rows and its stored
// files; a test stops a removal there to meet it part-way.
void setRemovalPauseForTests(std::function<void()> pause);

// Marks the versions as kept from thinning, or no longer.
bool setPinned(StoreIndex& index, std::span<const VersionRef> versions, bool pinned, std::string* error = nullptr);

} // namespace strataloom::store
