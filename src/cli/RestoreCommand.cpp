#include "CliReporter.h"
#include "Commands.h"
#include "Names.h"
#include "VersionIndexes.h"

#include "FileVersionStore.h"
#include "InPlaceRestore.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace strataloom::cli {

namespace {

bool say(const std::string& line)
{
    return std::fwrite(line.data(), 1, line.size(), stdout) == line.size();
}

std::string number(std::size_t index)
{
    char text[16];
    std::snprintf(text, sizeof text, "%05zu", index);
    return text;
}

// The versions of the documents that stood at the place before, numbered as
// versions --earlier numbers them.
std::optional<std::vector<FileVersion>> earlierVersions(FileVersionStore& store, const FileUrl& document)
{
    const auto histories = store.earlierHistoriesOfItem(document);
    if (!histories)
        return std::nullopt;
    std::vector<FileVersion> versions;
    for (const EarlierHistory& history : *histories)
        versions.insert(versions.end(), history.versions.begin(), history.versions.end());
    return versions;
}

} // namespace

int restore(const Invocation& invocation)
{
    const std::string& path = invocation.arguments.at(0);
    // The version is named as the other commands on single versions name it:
    // by its id, or by its number as listed.
    std::string bad;
    const auto choices = versionChoices({invocation.arguments.at(1)}, bad);
    if (!choices) {
        printError("'" + bad + "' is neither a version number nor a version id, as versions lists them");
        return kExitUsage;
    }
    const VersionChoice& choice = choices->front();
    const FileUrl document = FileUrl::fromPath(path);
    FileVersionStore store;
    if (!store.currentVersionOfItem(document)) {
        printError("cannot find " + path + ": " + std::strerror(errno));
        return kExitFailure;
    }
    auto others = store.otherVersionsOfItem(document);
    const bool earlier = invocation.has("earlier");
    if (others && earlier)
        others = earlierVersions(store, document);
    if (!others) {
        printError("cannot read the version store at " + store.location());
        return kExitFailure;
    }
    if (choice.number && *choice.number == others->size() && !earlier) {
        printError("version " + number(*choice.number) + " is the current contents of " + path
                   + "; nothing to restore");
        return kExitFailure;
    }
    std::string notFound;
    const auto index = findListedVersion(*others, choice, path, &notFound);
    if (!index) {
        printError(notFound + (earlier ? " (versions --earlier lists them)" : " (versions lists them)"));
        return kExitFailure;
    }
    const FileVersion& chosen = (*others)[*index];
    const bool dryRun = invocation.has("dry-run");
    std::string error;
    const auto outcome = restoreVersionInPlace(store, document, chosen, dryRun, &error);
    if (!outcome) {
        printError(error);
        return kExitFailure;
    }
    const std::string date = chosen.dates() ? chosen.dates()->modification.toIso8601() : "-";
    bool written = true;
    if (outcome->unchanged) {
        written = say(path + " already holds version " + number(*index) + " (" + date + ")\n");
    } else if (dryRun) {
        written = say(outcome->keptCurrent ? "would keep the current contents as a new version\n"
                                           : "would not keep the current contents: they are the newest version\n")
               && say("would restore version " + number(*index) + " (" + date + ") into " + path + "\n");
    } else {
        // Listed now: ..., the contents before, the restored contents, the file.
        const auto after = store.otherVersionsOfItem(document);
        written = say("restored version " + number(*index) + " (" + date + ") into " + path + "\n");
        if (after && after->size() >= 2)
            written = say("the contents before are version " + number(after->size() - 2) + "; to undo: "
                          + "strataloom-cli restore -- " + shellWord(path) + " " + number(after->size() - 2) + "\n")
                   && written;
    }
    if (!written || std::fflush(stdout) != 0) {
        printError("cannot write what was restored");
        return kExitFailure;
    }
    return kExitOk;
}

} // namespace strataloom::cli
