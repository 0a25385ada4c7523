#pragma once

// Histories whose records are deltas, and reading them back as a user does.
#include "AutomaticSaves.h"
#include "FileVersionStore.h"
#include "Sqlite.h"
#include "StoreLayout.h"
#include "StoreMaintenance.h"
#include "support/StoredContents.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

namespace strataloom::test {

// The `n`th revision of a 64 KiB text: the same words but for a 10 KiB
// stretch rewritten, so that a delta against a neighbour pays and still
// takes a file of its own (more than a packed record).
inline std::string revision(int n)
{
    const auto words = [](std::uint32_t seed, std::size_t length) {
        static const char* const vocabulary[] = {"store", "version", "delta",    "record",  "chain",    "base", "thin",
                                                 "check", "repair",  "document", "history", "contents", "log"};
        std::string text;
        while (text.size() < length) {
            seed = seed * 1664525u + 1013904223u;
            text += vocabulary[(seed >> 16) % 13];
            text += (seed >> 8) % 11 == 0 ? ".\n" : " ";
            text += std::to_string((seed >> 20) % 97);
        }
        text.resize(length);
        return text;
    };
    std::string text = words(7, 64 * 1024);
    const std::size_t at = static_cast<std::size_t>(n) * 7919 % (text.size() - 10 * 1024);
    text.replace(at, 10 * 1024, words(1000 + static_cast<std::uint32_t>(n), 10 * 1024));
    return text;
}

// Each version's contents, oldest first, read as archive and the browser do.
inline std::vector<std::string> contentsOf(const std::string& location, const std::string& document)
{
    std::vector<std::string> contents;
    const auto versions = FileVersionStore(location).otherVersionsOfItem(FileUrl::fromPath(document));
    EXPECT_TRUE(versions) << document;
    for (const FileVersion& version : versions.value_or(std::vector<FileVersion>{}))
        contents.push_back(readVersion(version));
    return contents;
}

// Each listed version's contents as the name of the revision among `known`
// it equals ("r<n>"), or "other": short enough to compare in a failure.
// "r<n>": the name tests give the n-th revision of a history.
inline std::string revisionName(std::ptrdiff_t n)
{
    std::string name(1, 'r');
    name += std::to_string(n);
    return name;
}

inline std::vector<std::string> revisionsOf(const std::string& location, const std::string& document,
                                            const std::vector<std::string>& known)
{
    std::vector<std::string> names;
    for (const std::string& contents : contentsOf(location, document)) {
        const auto found = std::find(known.begin(), known.end(), contents);
        names.push_back(found == known.end() ? contents == "(unreadable)" ? contents : "other"
                                             : revisionName(found - known.begin()));
    }
    return names;
}

inline std::vector<std::string> revisionNames(std::initializer_list<int> numbers)
{
    std::vector<std::string> names;
    for (const int n : numbers)
        names.push_back(revisionName(n));
    return names;
}

// The index's records by kind: how many whole, delta and compressed ones.
inline std::vector<int> recordKinds(const std::string& location)
{
    SqliteDatabase database(store::StoreLayout(location).indexPath(), SQLITE_OPEN_READONLY);
    std::vector<int> counts(3, 0);
    SqliteStatement query(database.handle(), "SELECT kind, COUNT(*) FROM records GROUP BY kind");
    while (query.step() == SQLITE_ROW)
        counts.at(static_cast<std::size_t>(query.integer(0))) = static_cast<int>(query.integer(1));
    return counts;
}

// What a maintenance pass reports: damage apart from what is merely left
// over, the paths it names, its failures and notes; `onFirstVersion` runs as
// the pass reaches its first version.
struct CheckFindings : StoreMaintenanceListener {
    void found(const StoreFinding& finding) override
    {
        if (finding.kind == StoreFinding::Kind::Unreferenced || finding.kind == StoreFinding::Kind::Leftover)
            ++unreferenced;
        else
            damaged += finding.path + (finding.detail.empty() ? "" : ": " + finding.detail) + "\n";
        paths.insert(finding.path);
        findings.push_back(finding);
    }
    void failed(const std::string& message) override
    {
        damaged += message + "\n";
        failures += message + "\n";
    }
    void noted(const std::string& message) override { notes += message + "\n"; }
    void progress(std::size_t done, std::size_t, const std::string&) override
    {
        if (done == 0 && onFirstVersion)
            onFirstVersion();
    }
    std::string damaged;
    std::string failures;
    std::string notes;
    int unreferenced = 0;
    std::set<std::string> paths;
    std::vector<StoreFinding> findings;
    std::function<void()> onFirstVersion;
};

inline CheckFindings checkStore(const std::string& location, bool repair = false)
{
    CheckFindings findings;
    StoreMaintenance maintenance(location);
    maintenance.setGracePeriod(std::chrono::seconds(0));
    if (repair)
        maintenance.repair(findings);
    else
        maintenance.check(findings);
    return findings;
}

inline CheckFindings pruneStore(const std::string& location)
{
    CheckFindings findings;
    StoreMaintenance maintenance(location);
    maintenance.setGracePeriod(std::chrono::seconds(0));
    maintenance.prune(false, findings);
    return findings;
}

// Saves each of `contents` as an automatic version of `path`, a batch each, as
// the watcher does (each add re-encodes the version before it).
inline void saveAutomatic(const std::string& location, const std::string& path,
                          const std::vector<std::string>& contents)
{
    for (const std::string& text : contents) {
        writeFile(path, text);
        AutomaticSaves saves(location);
        std::string error;
        ASSERT_EQ(saves.stage(path, &error), AutomaticSaves::Outcome::Staged) << error;
        ASSERT_TRUE(saves.commit(nullptr, &error)) << error;
    }
}

// The single value `sql` reads from the store's index, or -1.
inline std::int64_t indexValue(const std::string& location, const std::string& sql)
{
    SqliteDatabase database(store::StoreLayout(location).indexPath(), SQLITE_OPEN_READONLY);
    SqliteStatement query(database.handle(), sql.c_str());
    return query.step() == SQLITE_ROW ? query.integer(0) : -1;
}

// Changes the store's index behind its back, as damage or a lost write would.
inline void alterIndex(const std::string& location, const std::string& sql)
{
    SqliteDatabase database(store::StoreLayout(location).indexPath(), SQLITE_OPEN_READWRITE);
    ASSERT_TRUE(database.execute("PRAGMA foreign_keys=OFF") && database.execute(sql.c_str())) << database.lastError();
}

// Every listed version of `document` is local and reads as `expected`, in
// order (compared whole: a failure does not print megabytes).
inline void expectVersionsRead(const std::string& location, const std::string& document,
                               const std::vector<std::string>& expected)
{
    const std::vector<std::string> contents = contentsOf(location, document);
    ASSERT_EQ(contents.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_TRUE(contents[i] == expected[i]) << "version " << i;
    for (const FileVersion& version : FileVersionStore(location)
                                          .otherVersionsOfItem(FileUrl::fromPath(document))
                                          .value_or(std::vector<FileVersion>{})) {
        std::string why;
        EXPECT_TRUE(version.hasLocalContents(&why)) << why;
    }
}

// Removes the store's index with its journal files, as a lost disk block would.
inline void loseIndex(const std::string& location)
{
    for (const char* suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(store::StoreLayout(location).indexPath() + suffix);
}

} // namespace strataloom::test
