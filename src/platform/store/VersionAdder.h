#pragma once

#include "FileVersion.h"
#include "StoreIndex.h"

#include <memory>
#include <optional>
#include <string>

// Adding a version: copying the contents into the store, checksummed, with
// their dates, and recording it in the index once the stored file is complete
// and in place. The steps and what a crash at each one leaves are in
// docs/STORE.md.
namespace strataloom::store {

class VersionAdder {
public:
    explicit VersionAdder(StoreIndex& index);
    ~VersionAdder();
    VersionAdder(const VersionAdder&) = delete;
    VersionAdder& operator=(const VersionAdder&) = delete;

    // Adds a version of the document at `itemPath` whose contents are copied
    // from `contentsPath`; empty, with the reason in `error`, when nothing was
    // added.
    std::optional<FileVersion> add(const std::string& itemPath, const std::string& contentsPath,
                                   std::string* error = nullptr);

private:
    StoreIndex& m_index;
    // Reused by every add through this object.
    std::unique_ptr<char[]> m_copyBuffer;
};

} // namespace strataloom::store
