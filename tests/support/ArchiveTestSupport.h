#pragma once

#include "FileAttributes.h"
#include "FileVersionStore.h"
#include "Sqlite.h"
#include "StoreLayout.h"
#include "support/StoredContents.h"
#include "support/TestEnvironment.h"

#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

namespace strataloom::test {

// Dates far from "now", so that a copy stamped with the time of copying shows.
inline FileDates historicalDates(int step)
{
    return {{1'300'000'000 + step * 1000, 111'111'111u + static_cast<std::uint32_t>(step)},
            {1'400'000'000 + step * 1000, 222'222'222u + static_cast<std::uint32_t>(step)}};
}

// A document at `folder`/`name` with one saved version per entry of `contents`
// (oldest first, each with historicalDates(i)) and `current` as its present
// contents.
inline FileUrl documentWithVersions(FileVersionStore& store, const std::string& folder, const std::string& name,
                                    const std::vector<std::string>& contents, const std::string& current)
{
    const std::string path = folder + "/" + name;
    writeFile(path, current);
    const FileUrl document = FileUrl::fromPath(path);
    const std::string staging = makeScratchFolder("staging");
    for (std::size_t i = 0; i < contents.size(); ++i) {
        const std::string source = staging + "/" + std::to_string(i);
        writeFile(source, contents[i]);
        if (!setDates(source, historicalDates(static_cast<int>(i))))
            throw std::runtime_error("cannot set dates");
        std::string error;
        if (!store.addVersionOfItem(document, FileUrl::fromPath(source), &error))
            throw std::runtime_error("cannot add a version: " + error);
    }
    return document;
}

// The stored file of saved version `index` of `document`.
inline std::string storedPath(FileVersionStore& store, const FileUrl& document, std::size_t index)
{
    return store.otherVersionsOfItem(document).value().at(index).URL().path();
}

// Makes a stored version unreadable as that version: same size, other bytes.
inline void corrupt(const std::string& path)
{
    std::filesystem::permissions(path, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
    std::string contents = readFile(path);
    for (char& c : contents)
        c = static_cast<char>(c ^ 0x5a);
    writeFile(path, contents);
}

// Makes saved version `index` of `document` unreadable as that version: its
// stored file's bytes changed, or its packed record's in the index.
inline void corruptVersion(FileVersionStore& store, const FileUrl& document, std::size_t index)
{
    const FileVersion version = store.otherVersionsOfItem(document).value().at(index);
    if (std::filesystem::exists(version.URL().path()))
        return corrupt(version.URL().path());
    SqliteDatabase database(store::StoreLayout(version.storedAt()->location).indexPath(), SQLITE_OPEN_READWRITE);
    SqliteStatement damage(database.handle(), "UPDATE records SET packed = X'00' || substr(packed, 2) WHERE name = ? "
                                              "AND packed IS NOT NULL");
    damage.bindText(1, version.storedAt()->record);
    if (damage.step() != SQLITE_DONE || sqlite3_changes(database.handle()) != 1)
        throw std::runtime_error("cannot damage the packed record " + version.storedAt()->record);
}

inline std::set<std::string> entriesOf(const std::string& folder)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().native());
    return names;
}

} // namespace strataloom::test
