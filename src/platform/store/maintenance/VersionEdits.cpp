// Pinning and removing versions the user picks by their listed numbers.
#include "VersionEdits.h"
#include "ErrorMessage.h"
#include "FileVersionStore.h"
#include "StoreIndex.h"
#include "VersionRemoval.h"

namespace strataloom {

using namespace store;

namespace {

// The listed versions at `indexes`, each once, in the order given.
std::optional<std::vector<FileVersion>> versionsAt(const std::string& storeLocation, const std::string& documentPath,
                                                   const std::vector<std::size_t>& indexes, std::string* error)
{
    const auto listed = FileVersionStore(storeLocation).otherVersionsOfItem(FileUrl::fromPath(documentPath));
    if (!listed) {
        fail(error, "cannot read the versions of " + documentPath);
        return std::nullopt;
    }
    std::vector<FileVersion> chosen;
    std::vector<bool> taken(listed->size(), false);
    for (const std::size_t index : indexes) {
        if (index >= listed->size()) {
            fail(error, "version " + std::to_string(index) + " of " + documentPath + " is not a stored version ("
                            + (listed->empty() ? std::string("it has none")
                                               : "they are 0 to " + std::to_string(listed->size() - 1))
                            + ")");
            return std::nullopt;
        }
        if (!taken[index])
            chosen.push_back((*listed)[index]);
        taken[index] = true;
    }
    return chosen;
}

std::vector<VersionRef> referencesOf(const std::vector<FileVersion>& versions)
{
    std::vector<VersionRef> references;
    for (const FileVersion& version : versions)
        references.push_back({version.storedAt()->documentId, version.storedAt()->file});
    return references;
}

} // namespace

bool setVersionsPinned(const std::string& storeLocation, const std::string& documentPath,
                       const std::vector<std::size_t>& indexes, bool pinned, std::string* error)
{
    const auto versions = versionsAt(storeLocation, documentPath, indexes, error);
    if (!versions)
        return false;
    StoreIndex index{StoreLayout(storeLocation)};
    return setPinned(index, referencesOf(*versions), pinned, error);
}

std::optional<std::vector<FileVersion>> deleteVersions(const std::string& storeLocation,
                                                       const std::string& documentPath,
                                                       const std::vector<std::size_t>& indexes, bool dryRun,
                                                       std::string* error)
{
    auto versions = versionsAt(storeLocation, documentPath, indexes, error);
    if (!versions || dryRun)
        return versions;
    StoreIndex index{StoreLayout(storeLocation)};
    if (!removeVersions(index, referencesOf(*versions), error))
        return std::nullopt;
    return versions;
}

} // namespace strataloom
