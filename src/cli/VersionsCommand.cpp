#include "CliReporter.h"
#include "Commands.h"
#include "JsonOutput.h"

#include "FileVersionStore.h"
#include "Names.h"
#include "ReadingSession.h"
#include "VersionEdits.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace strataloom::cli {

namespace {

// index, id (its first `idDigits` digits), modification date, creation date,
// size, local or missing, path, then how the version was taken and whether it
// is pinned ("-" for the current version); the path is escaped so that no name
// can break the line. The versions of one list share `session`, which looks at
// each stored record once.
bool printVersion(std::size_t index, const FileVersion& version, bool current, std::size_t idDigits,
                  store::ReadingSession& session)
{
    const auto& dates = version.dates();
    const auto size = version.size();
    const char* kind = current ? "-" : version.isAutomatic() ? "auto" : "explicit";
    const std::string line = [&] {
        char number[16];
        std::snprintf(number, sizeof number, "%05zu", index);
        return std::string(number) + "\t" + (current ? "-" : versionId(version).substr(0, idDigits)) + "\t"
             + (dates ? dates->modification.toIso8601() : "-") + "\t" + (dates ? dates->creation.toIso8601() : "-")
             + "\t" + (size ? std::to_string(*size) : "-") + "\t"
             + (version.hasLocalContents(session) ? "local" : "missing") + "\t" + printableName(version.URL().path())
             + "\t" + kind + "\t" + (version.isPinned() ? "pinned" : "-") + "\n";
    }();
    return std::fwrite(line.data(), 1, line.size(), stdout) == line.size();
}

// The documents that stood at the file's place before: for each, a line
// "before", when it was replaced, its id, its number of versions and its
// last path, then its versions, numbered on across the histories so that
// restore --earlier can name each.
int earlierVersions(FileVersionStore& store, const FileUrl& document, bool json)
{
    const auto histories = store.earlierHistoriesOfItem(document);
    if (!histories) {
        printError("cannot read the version store at " + store.location());
        return kExitFailure;
    }
    bool written = true;
    if (json) {
        const std::string text = earlierHistoriesJson(*histories);
        written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    }
    std::vector<FileVersion> all;
    for (const EarlierHistory& history : *histories)
        all.insert(all.end(), history.versions.begin(), history.versions.end());
    const std::size_t idDigits = shownIdDigits(all);
    store::ReadingSession session;
    std::size_t index = 0;
    for (const EarlierHistory& history : json ? std::vector<EarlierHistory>() : *histories) {
        const std::string line = "before\t" + history.replaced.toIso8601() + "\t" + history.documentId + "\t"
                               + std::to_string(history.versions.size()) + "\t" + printableName(history.lastPath)
                               + "\n";
        written = std::fwrite(line.data(), 1, line.size(), stdout) == line.size() && written;
        for (const FileVersion& version : history.versions)
            written = printVersion(index++, version, false, idDigits, session) && written;
    }
    if (!written || std::fflush(stdout) != 0) {
        printError("cannot write the list of versions");
        return kExitFailure;
    }
    return kExitOk;
}

} // namespace

int versions(const Invocation& invocation)
{
    const FileUrl document = FileUrl::fromPath(invocation.arguments.at(0));
    FileVersionStore store;
    // The earlier histories of a place outlive its file.
    const auto current = store.currentVersionOfItem(document);
    if (!current && !invocation.has("earlier")) {
        printError("cannot find " + document.path() + ": " + std::strerror(errno));
        return kExitFailure;
    }
    // Listing first follows a document renamed there, which may replace another.
    const auto others = store.otherVersionsOfItem(document);
    if (!others) {
        printError("cannot read the version store at " + store.location());
        return kExitFailure;
    }
    if (invocation.has("earlier"))
        return earlierVersions(store, document, invocation.has("json"));
    bool written = true;
    if (invocation.has("json")) {
        const std::string json = versionsJson(*others, *current);
        written = std::fwrite(json.data(), 1, json.size(), stdout) == json.size();
    } else {
        const std::size_t idDigits = shownIdDigits(*others);
        store::ReadingSession session;
        std::size_t index = 0;
        for (const FileVersion& version : *others)
            written = printVersion(index++, version, false, idDigits, session) && written;
        written = printVersion(index, *current, true, idDigits, session) && written;
    }
    if (!written || std::fflush(stdout) != 0) {
        printError("cannot write the list of versions");
        return kExitFailure;
    }
    return kExitOk;
}

} // namespace strataloom::cli
