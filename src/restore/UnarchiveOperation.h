#pragma once

#include "FileUrl.h"
#include "FileVersionStore.h"
#include "Reporter.h"

#include <optional>
#include <string>
#include <vector>

namespace strataloom {

// What listing a dropped folder yields for the prompt and the writer.
struct UnarchiveSource {
    FileUrl folder;
    std::vector<std::string> names; // entry names in ascending order, hidden names dropped
    std::string lastFilePath; // folder path + "/" + last name
    std::string proposedName; // shortened base + "-Copy" + dotted extension
};

// Lists, filters and orders the folder and proposes the new file's name; reports
// "Couldn't get contents of folder." or "The folder is empty." and yields nothing
// on failure.
std::optional<UnarchiveSource> listUnarchiveSource(const FileUrl& folder, Reporter& reporter);

enum class UnarchiveOutcome { Written, Declined, Failed };

// Creates `chosenFile` as a copy of the last entry and adds every earlier entry,
// in order, as a version of it.
UnarchiveOutcome writeUnarchivedFile(int response, const std::optional<FileUrl>& chosenFile,
                                     const std::string& lastFilePath, const std::vector<std::string>& names,
                                     const FileUrl& folder, FileVersionStore& store, Reporter& reporter);

} // namespace strataloom
