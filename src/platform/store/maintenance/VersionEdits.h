#pragma once

#include "FileVersion.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// The user's own changes to single versions of a document, which they pick by
// their ids or by the numbers `versions` lists them under: keeping them from
// thinning, or removing them.
namespace strataloom {

// A version's id is its stored file's name, 32 hex digits fixed when it was
// added: unlike its number, no removal or addition changes it. Shown by this
// many digits; accepted from this many on, when no other version of the
// document begins with them.
inline constexpr std::size_t kShownIdDigits = 12;
inline constexpr std::size_t kShortestIdDigits = 8;

// The id of a stored version; empty for a document's current version.
std::string versionId(const FileVersion& version);

// How many digits of their ids tell the versions apart: kShownIdDigits, or
// more in the unlikely case that two share as many.
std::size_t shownIdDigits(const std::vector<FileVersion>& versions);

// Whether `word` has the form of an id or of the beginning of one
// (kShortestIdDigits to 32 hex digits).
bool isVersionIdPrefix(const std::string& word);

// A version the user picked.
struct VersionChoice {
    // By its number as listed (implicit, so that `{1, 2}` picks by number).
    VersionChoice(std::size_t listedNumber)
        : number(listedNumber)
    {
    }
    static VersionChoice byId(std::string idPrefix);

    std::optional<std::size_t> number;
    std::string id; // a whole id, or the beginning of one
    // The checksum (raw bytes) the version was listed with: a number that now
    // names other contents is refused.
    std::optional<std::string> expectedChecksum;
};

// The position in `listed` of the version `choice` names: its number, or the
// beginning of an id no other listed version shares; empty, with the reason,
// when it names none. `document` names the document in messages.
std::optional<std::size_t> findListedVersion(const std::vector<FileVersion>& listed, const VersionChoice& choice,
                                             const std::string& document, std::string* error = nullptr);

// Pins the versions, or unpins them with `pinned` false. Fails, changing
// nothing, when a choice names no listed version; fails with the reason when
// a version was removed meanwhile, or when none was changed because each was
// already so.
bool setVersionsPinned(const std::string& storeLocation, const std::string& documentPath,
                       const std::vector<VersionChoice>& choices, bool pinned, std::string* error = nullptr);

// Removes the versions (with `dryRun`, only finds them); returns them as they
// were listed, in the order chosen. Empty, with the reason in `error`, when a
// choice names no listed version (nothing is removed then), when one was
// removed by someone else meanwhile (the others are removed), or when the
// removal fails.
std::optional<std::vector<FileVersion>> deleteVersions(const std::string& storeLocation,
                                                       const std::string& documentPath,
                                                       const std::vector<VersionChoice>& choices, bool dryRun,
                                                       std::string* error = nullptr);

} // namespace strataloom
