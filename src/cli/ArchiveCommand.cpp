#include "CliReporter.h"
#include "Commands.h"

#include "ArchiveOperation.h"
#include "EarlierHistorySource.h"
#include "FileVersionStore.h"
#include "Names.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace strataloom::cli {

namespace {

std::string lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// A whole id, or a prefix of at least eight hex digits that names one history.
bool namesHistory(const std::string& id, const EarlierHistory& history)
{
    const std::string given = lowered(id);
    const std::string whole = lowered(history.documentId);
    if (given == whole)
        return true;
    return given.size() >= 8
        && std::all_of(given.begin(), given.end(), [](unsigned char c) { return std::isxdigit(c); })
        && whole.starts_with(given);
}

std::string idsOf(const std::vector<const EarlierHistory*>& histories)
{
    std::string ids;
    for (const EarlierHistory* history : histories)
        ids += (ids.empty() ? "" : ", ") + history->documentId;
    return ids;
}

// The earlier history chosen as versions --earlier lists them; empty, after
// saying why, with the exit code in `exitCode`.
std::optional<EarlierHistory> chosenHistory(FileVersionStore& store, const FileUrl& fileURL, const std::string& file,
                                            const std::optional<std::string>& id, int& exitCode)
{
    exitCode = kExitFailure;
    // Listing first follows a document renamed there, which may replace another.
    auto histories = store.otherVersionsOfItem(fileURL) ? store.earlierHistoriesOfItem(fileURL) : std::nullopt;
    if (!histories) {
        printError("cannot read the version store at " + store.location());
        return std::nullopt;
    }
    if (histories->empty()) {
        printError(file + ": no earlier document stood at this place (versions --earlier lists them)");
        return std::nullopt;
    }
    std::vector<const EarlierHistory*> matching;
    for (const EarlierHistory& history : *histories)
        if (!id || namesHistory(*id, history))
            matching.push_back(&history);
    if (matching.size() == 1)
        return *matching.front();
    if (!id) {
        printError("archive: " + std::to_string(matching.size()) + " earlier documents stood at " + file
                   + "; choose one with --history ID: " + idsOf(matching));
        exitCode = kExitUsage;
    } else if (matching.empty()) {
        printError("no earlier document at " + file + " has the id " + printableName(*id)
                   + " (versions --earlier lists them)");
    } else {
        printError("archive: the id " + printableName(*id) + " names several earlier documents: " + idsOf(matching));
        exitCode = kExitUsage;
    }
    return std::nullopt;
}

} // namespace

int archive(const Invocation& invocation)
{
    const std::string& file = invocation.arguments.at(0);
    const bool folderGiven = invocation.arguments.size() > 1;
    if (file.empty() || (folderGiven && invocation.arguments[1].empty())) {
        printError("archive: an empty argument is not a path");
        return kExitUsage;
    }
    const bool earlier = invocation.has("earlier");
    const std::optional<std::string> id = invocation.value("history");
    if (id && !earlier) {
        printError("archive: --history chooses among earlier histories; give --earlier too");
        return kExitUsage;
    }

    // Relative paths are taken against the current folder; no link is resolved.
    const FileUrl fileURL = FileUrl::fromPath(file);
    struct stat status {};
    // The earlier histories of a place outlive its file.
    if (!earlier && lstat(fileURL.path().c_str(), &status) != 0) {
        printError(file + ": " + std::strerror(errno));
        return kExitFailure;
    }

    FileVersionStore store;
    std::optional<EarlierHistorySource> history;
    if (earlier) {
        int exitCode = kExitOk;
        auto chosen = chosenHistory(store, fileURL, file, id, exitCode);
        if (!chosen)
            return exitCode;
        history.emplace(std::move(*chosen));
    }
    // An earlier history's entries are named after the document it was.
    const FileUrl namedURL = history ? history->lastURL() : fileURL;
    const ArchiveNameParts parts = ArchiveNameParts::fromFileUrl(namedURL);
    const FileUrl folder = folderGiven
                             ? FileUrl::fromPath(invocation.arguments[1])
                             : fileURL.deletingLastPathComponent().appendingPathComponent(parts.proposedFolderName());

    CliReporter reporter;
    VersionSource& source = history ? static_cast<VersionSource&>(*history) : store;
    const ArchiveOutcome outcome =
        writeVersionsArchive(kResponseOK, folder, namedURL, parts.baseName, parts.dottedExtension, source, reporter);
    if (outcome == ArchiveOutcome::NoCurrentVersion) {
        // The window ends silently here; a command has to say why it did nothing.
        printError(file + ": no current version (the file is gone or cannot be read)");
        return kExitFailure;
    }
    if (outcome == ArchiveOutcome::Failed && reporter.interrupted())
        printError("interrupted; the entries written so far are kept in " + folder.path());
    return reporter.exitCode();
}

} // namespace strataloom::cli
