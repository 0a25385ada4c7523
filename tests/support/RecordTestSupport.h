#pragma once

// Histories whose records are deltas, and reading them back as a user does.
#include "AutomaticSaves.h"
#include "FileVersionStore.h"
#include "Sqlite.h"
#include "StoreLayout.h"
#include "StoreMaintenance.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
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
    for (const FileVersion& version : versions.value_or(std::vector<FileVersion>{})) {
        const UniqueFd fd = version.openContents();
        std::string text;
        char buffer[65536];
        ssize_t got;
        while (fd.valid() && (got = read(fd.get(), buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<std::size_t>(got));
        contents.push_back(fd.valid() ? text : "(unreadable)");
    }
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

// What a check reports, damage apart from what is merely left over.
struct CheckFindings : StoreMaintenanceListener {
    void found(const StoreFinding& finding) override
    {
        if (finding.kind == StoreFinding::Kind::Unreferenced || finding.kind == StoreFinding::Kind::Leftover)
            ++unreferenced;
        else
            damaged += finding.path + (finding.detail.empty() ? "" : ": " + finding.detail) + "\n";
        findings.push_back(finding);
    }
    void failed(const std::string& message) override
    {
        damaged += message + "\n";
        failures += message + "\n";
    }
    std::string damaged;
    std::string failures;
    int unreferenced = 0;
    std::vector<StoreFinding> findings;
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

inline void pruneStore(const std::string& location)
{
    CheckFindings findings;
    StoreMaintenance maintenance(location);
    maintenance.setGracePeriod(std::chrono::seconds(0));
    maintenance.prune(false, findings);
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

} // namespace strataloom::test
