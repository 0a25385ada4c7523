#include "CliReporter.h"
#include "Commands.h"

#include "Names.h"
#include "WatchState.h"
#include "WatchStatus.h"
#include "WatcherUnit.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace strataloom::cli {

namespace {

std::string statusText(bool running, const std::optional<WatchStatus>& status)
{
    std::string text;
    if (!running)
        text += "The watcher is not running. To start it now and at every login:\n  " + startWatcherCommand() + "\n";
    if (!status)
        return running ? "The watcher is running; it has not written its status yet.\n" : text;
    if (running) {
        text += "The watcher is running (pid " + std::to_string(status->pid) + ", since " + isoTime(status->startedMs)
              + ").\n";
        text += std::to_string(status->folders.size()) + " folders watched, with " + std::to_string(status->watches)
              + " inotify watches:\n";
        for (const std::string& folder : status->folders)
            text += "  " + printableName(folder) + "\n";
        if (!status->notWatched.empty()) {
            text += std::to_string(status->notWatched.size())
                  + " folders not watched now (watched again when they come back):\n";
            for (const WatchStatus::Unwatched& folder : status->notWatched)
                text += "  " + printableName(folder.path) + " (" + folder.reason + ")\n";
        }
        if (status->watchLimitReached)
            text += "Not every folder is watched: the inotify watches allowed are used up (raise "
                    "fs.inotify.max_user_watches and restart the watcher); the folders left out are looked at "
                    "again every few minutes.\n";
        if (status->shortOfSpace)
            text += "Not adding versions: the store's file system has less free space than the "
                  + std::to_string(status->freeSpaceFloor) + " bytes it keeps; adding resumes when space returns.\n";
        if (status->scanTotal > 0)
            text += std::string(status->ready ? "Taking the first versions of folders added" : "Start-up scan") + ": "
                  + std::to_string(status->scanDone) + " of " + std::to_string(status->scanTotal)
                  + " files looked at.\n";
        if (status->waiting > 0)
            text += std::to_string(status->waiting) + " saved files waiting for their quiet period.\n";
    }
    if (!status->saves.empty()) {
        text += running ? "Last saves:\n" : "Last saves when it ran:\n";
        for (const WatchStatus::Save& save : status->saves)
            text += "  " + isoTime(save.timeMs) + "  " + printableName(save.path) + "\n";
    }
    if (!status->errors.empty()) {
        text += running ? "Last problems:\n" : "Last problems when it ran:\n";
        for (const WatchStatus::Problem& problem : status->errors)
            text += "  " + isoTime(problem.timeMs) + "  " + problem.message + "\n"; // printable when logged
    }
    return text;
}

std::string statusJson(bool running, const std::optional<WatchStatus>& status)
{
    QJsonObject object;
    if (status)
        object = QJsonDocument::fromJson(status->toJson()).object();
    object.insert("running", running);
    return QJsonDocument(object).toJson(QJsonDocument::Indented).toStdString();
}

} // namespace

int watchStatus(const Invocation& invocation)
{
    const bool running = watcherRunning();
    std::string error;
    const auto status = WatchStatus::read(watchStatusPath(), &error);
    // A watcher that has just started may not have written its status yet.
    if (!status && running && errno != ENOENT)
        printError(error);
    const std::string text = invocation.has("json") ? statusJson(running, status) : statusText(running, status);
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
        printError("cannot write the status");
        return kExitFailure;
    }
    return kExitOk;
}

} // namespace strataloom::cli
