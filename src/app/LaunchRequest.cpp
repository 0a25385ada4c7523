#include "LaunchRequest.h"

#include "ErrorMessage.h"
#include "FileVersionStore.h"

#include <cerrno>
#include <cstdlib>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace strataloom {

namespace {

enum class Wanted { Document, File, Folder };

std::string absolute(const std::string& path)
{
    if (path.starts_with('/'))
        return path;
    std::unique_ptr<char, void (*)(void*)> folder(getcwd(nullptr, 0), std::free);
    return folder ? std::string(folder.get()) + "/" + path : path;
}

std::optional<FileUrl> checked(const std::string& argument, Wanted wanted, const std::string& storeLocation,
                               std::string* error)
{
    if (argument.empty()) {
        fail(error, "an empty argument names no file");
        return std::nullopt;
    }
    const std::string path = absolute(argument);
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        const int cause = errno;
        // A document whose file is gone may still have versions, listed by its last place.
        if (wanted == Wanted::Document && cause == ENOENT) {
            const auto versions = FileVersionStore(storeLocation).otherVersionsOfItem(FileUrl::fromPath(path));
            if (versions && !versions->empty())
                return FileUrl::fromPath(path);
            fail(error, "cannot show the versions of " + argument
                            + ": no such file, and the version store knows no document there");
            return std::nullopt;
        }
        fail(error, errnoMessage("cannot open " + argument, cause));
        return std::nullopt;
    }
    const bool folder = S_ISDIR(status.st_mode);
    switch (wanted) {
    case Wanted::Document:
        if (folder) {
            fail(error, "cannot show the versions of " + argument
                            + ": it is a folder (to unarchive it, use --unarchive or drop it on the window)");
            return std::nullopt;
        }
        return FileUrl::fromPath(path);
    case Wanted::File:
        if (folder) {
            fail(error, "cannot archive " + argument + ": it is a folder (to unarchive it, use --unarchive)");
            return std::nullopt;
        }
        return FileUrl::fromPath(path);
    case Wanted::Folder:
        if (!folder) {
            fail(error, "cannot unarchive " + argument + ": it is not a folder");
            return std::nullopt;
        }
        return FileUrl::directoryFromPath(path);
    }
    return std::nullopt;
}

} // namespace

std::optional<LaunchRequest> launchRequest(int argc, const char* const* argv, const std::string& storeLocation,
                                           std::string* error)
{
    LaunchRequest request;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        std::optional<std::string> value;
        Wanted wanted = Wanted::Document;
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (optionsEnded || argument.empty() || argument[0] != '-') {
            value = argument;
        } else {
            for (const auto& [name, kind] : {std::pair{"--archive", Wanted::File}, {"--unarchive", Wanted::Folder}}) {
                const std::string option = name;
                if (argument == option && i + 1 < argc)
                    value = argv[++i];
                else if (argument.starts_with(option + "="))
                    value = argument.substr(option.size() + 1);
                if (value) {
                    wanted = kind;
                    break;
                }
            }
            if (!value)
                continue;
        }
        const auto url = checked(*value, wanted, storeLocation, error);
        if (!url)
            return std::nullopt;
        (wanted == Wanted::Document ? request.documents : request.drops).push_back(*url);
    }
    return request;
}

} // namespace strataloom
