// Pinning and removing versions the user picks by their ids or listed numbers.
#include "VersionEdits.h"
#include "ErrorMessage.h"
#include "FileVersionStore.h"
#include "Names.h"
#include "StoreIndex.h"
#include "VersionRemoval.h"

#include <algorithm>
#include <set>

namespace strataloom {

using namespace store;

namespace {

struct Chosen {
    FileVersion version;
    std::string name; // how messages name it: its number, or its id as given
};

std::optional<std::vector<FileVersion>> listedVersions(const std::string& storeLocation,
                                                       const std::string& documentPath, std::string* error)
{
    auto listed = FileVersionStore(storeLocation).otherVersionsOfItem(FileUrl::fromPath(documentPath));
    if (!listed)
        fail(error, "cannot read the versions of " + printableName(documentPath));
    return listed;
}

// The listed versions chosen, each once, in the order given; empty, with the
// reason, when a choice names none or no longer names what was listed.
std::optional<std::vector<Chosen>> versionsChosen(const std::vector<FileVersion>& listed,
                                                  const std::vector<VersionChoice>& choices,
                                                  const std::string& document, std::string* error)
{
    std::vector<Chosen> chosen;
    std::set<std::size_t> taken;
    for (const VersionChoice& choice : choices) {
        const auto index = findListedVersion(listed, choice, document, error);
        if (!index)
            return std::nullopt;
        const FileVersion& version = listed[*index];
        const std::string name =
            choice.number ? std::to_string(*choice.number) : versionId(version).substr(0, kShownIdDigits);
        const auto& fingerprint = version.fingerprint();
        if (choice.expectedChecksum && (!fingerprint || fingerprint->checksum != *choice.expectedChecksum)) {
            fail(error, "version " + name + " of " + document
                            + " holds other contents than expected: the versions changed since they were listed. "
                              "Nothing was changed; list them again.");
            return std::nullopt;
        }
        if (taken.insert(*index).second)
            chosen.push_back({version, name});
    }
    return chosen;
}

std::vector<VersionRef> referencesOf(const std::vector<Chosen>& chosen)
{
    std::vector<VersionRef> references;
    for (const Chosen& one : chosen)
        references.push_back({one.version.storedAt()->documentId, one.version.storedAt()->file});
    return references;
}

std::string namesOf(const std::vector<std::string>& names)
{
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    return text;
}

bool isListed(const std::vector<FileVersion>& listed, const FileVersion& version)
{
    return std::any_of(listed.begin(), listed.end(),
                       [&](const FileVersion& other) { return versionId(other) == versionId(version); });
}

} // namespace

std::optional<std::size_t> findListedVersion(const std::vector<FileVersion>& listed, const VersionChoice& choice,
                                             const std::string& document, std::string* error)
{
    if (choice.number) {
        if (*choice.number < listed.size())
            return choice.number;
        fail(error,
             "version " + std::to_string(*choice.number) + " of " + document + " is not a stored version ("
                 + (listed.empty() ? std::string("it has none") : "they are 0 to " + std::to_string(listed.size() - 1))
                 + ")");
        return std::nullopt;
    }
    std::string prefix = choice.id;
    std::transform(prefix.begin(), prefix.end(), prefix.begin(),
                   [](char c) { return c >= 'A' && c <= 'F' ? c + 32 : c; });
    std::optional<std::size_t> found;
    for (std::size_t i = 0; i < listed.size(); ++i) {
        if (!isVersionIdPrefix(prefix) || versionId(listed[i]).rfind(prefix, 0) != 0)
            continue;
        if (found) {
            fail(error, "more than one version of " + document + " has an id beginning with " + prefix
                            + "; give more of its digits");
            return std::nullopt;
        }
        found = i;
    }
    if (!found)
        fail(error, "no stored version of " + document + " has the id " + printableName(choice.id)
                        + " (removed since it was listed?)");
    return found;
}

std::string versionId(const FileVersion& version)
{
    return version.storedAt() ? version.storedAt()->file : std::string();
}

std::size_t shownIdDigits(const std::vector<FileVersion>& versions)
{
    std::vector<std::string> ids;
    for (const FileVersion& version : versions)
        ids.push_back(versionId(version));
    std::sort(ids.begin(), ids.end());
    std::size_t digits = kShownIdDigits;
    for (std::size_t i = 1; i < ids.size(); ++i) {
        std::size_t common = 0;
        while (common < ids[i].size() && common < ids[i - 1].size() && ids[i][common] == ids[i - 1][common])
            ++common;
        digits = std::max(digits, common + 1);
    }
    return digits;
}

bool isVersionIdPrefix(const std::string& word)
{
    return word.size() >= kShortestIdDigits && word.size() <= 32 && std::all_of(word.begin(), word.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

VersionChoice VersionChoice::byId(std::string idPrefix)
{
    VersionChoice choice(0);
    choice.number.reset();
    choice.id = std::move(idPrefix);
    return choice;
}

bool setVersionsPinned(const std::string& storeLocation, const std::string& documentPath,
                       const std::vector<VersionChoice>& choices, bool pinned, std::string* error)
{
    const std::string document = printableName(documentPath);
    const auto listed = listedVersions(storeLocation, documentPath, error);
    const auto chosen = listed ? versionsChosen(*listed, choices, document, error) : std::nullopt;
    if (!chosen)
        return false;
    StoreIndex index{StoreLayout(storeLocation)};
    std::vector<bool> changed;
    if (!setPinned(index, referencesOf(*chosen), pinned, &changed, error))
        return false;
    if (std::all_of(changed.begin(), changed.end(), [](bool one) { return one; }))
        return true;
    // Whatever was not changed was either so already, or removed meanwhile.
    const auto after = listedVersions(storeLocation, documentPath, error);
    if (!after)
        return false;
    std::vector<std::string> gone, already;
    for (std::size_t i = 0; i < chosen->size(); ++i)
        if (!changed[i])
            (isListed(*after, (*chosen)[i].version) ? already : gone).push_back((*chosen)[i].name);
    const std::string was = std::string(pinned ? "pinned" : "unpinned");
    if (!gone.empty())
        return fail(error, (gone.size() == 1 ? "version " : "versions ") + namesOf(gone) + " of " + document
                               + (gone.size() == 1 ? " was removed before it could be "
                                                   : " were removed before they could be ")
                               + was + (gone.size() < chosen->size() ? "; the others are " + was : std::string()));
    if (already.size() == chosen->size())
        return fail(error, "nothing changed: " + std::string(already.size() == 1 ? "version " : "versions ")
                               + namesOf(already) + " of " + document + (already.size() == 1 ? " is" : " are") + " "
                               + was + " already");
    return true;
}

std::optional<std::vector<FileVersion>> deleteVersions(const std::string& storeLocation,
                                                       const std::string& documentPath,
                                                       const std::vector<VersionChoice>& choices, bool dryRun,
                                                       std::string* error)
{
    const std::string document = printableName(documentPath);
    const auto listed = listedVersions(storeLocation, documentPath, error);
    const auto chosen = listed ? versionsChosen(*listed, choices, document, error) : std::nullopt;
    if (!chosen)
        return std::nullopt;
    std::vector<FileVersion> versions;
    for (const Chosen& one : *chosen)
        versions.push_back(one.version);
    if (dryRun)
        return versions;
    StoreIndex index{StoreLayout(storeLocation)};
    std::vector<bool> removed;
    if (!removeVersions(index, referencesOf(*chosen), &removed, error))
        return std::nullopt;
    std::vector<std::string> gone;
    for (std::size_t i = 0; i < chosen->size(); ++i)
        if (!removed[i])
            gone.push_back((*chosen)[i].name);
    if (!gone.empty()) {
        fail(error, (gone.size() == 1 ? "version " : "versions ") + namesOf(gone) + " of " + document
                        + (gone.size() == 1 ? " was" : " were") + " removed by another program meanwhile"
                        + (gone.size() < chosen->size() ? "; the others are removed" : std::string()));
        return std::nullopt;
    }
    return versions;
}

} // namespace strataloom
