#pragma once

#include "StoreLayout.h"

#include <cstddef>
#include <functional>
#include <string>

// Rebuilding a lost or damaged index from what the store's folders hold: each
// document's log, and its stored files.
namespace strataloom::store {

struct RebuildResult {
    bool rebuilt = false;
    std::size_t documents = 0;
    std::size_t versions = 0;
    // Versions of documents that kept no log (stored by release 1.0.0): placed
    // in the order of their modification dates.
    std::size_t unloggedVersions = 0;
    // Versions their logs record whose contents no record present holds any
    // more (a record lost or damaged): left out.
    std::size_t droppedVersions = 0;
    std::string setAside; // where the old index was moved, if there was one
};

// Builds a new index beside the old one, then puts it in place of it in one
// rename; the old one, if any, is kept under another name, never deleted.
// `failed` hears what stopped part of the work. False when no index was put in
// place.
bool rebuildIndex(const StoreLayout& layout, RebuildResult& result,
                  const std::function<void(const std::string&)>& failed);

} // namespace strataloom::store
