#include "LaunchRequest.h"

#include "ErrorMessage.h"
#include "FileVersionStore.h"
#include "Names.h"

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
    const std::string shown = printableName(argument);
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        const int cause = errno;
        // A document whose file is gone may still have versions, listed by its last place.
        if (wanted == Wanted::Document && cause == ENOENT) {
            const auto versions = FileVersionStore(storeLocation).otherVersionsOfItem(FileUrl::fromPath(path));
            if (versions && !versions->empty())
                return FileUrl::fromPath(path);
            fail(error, "cannot show the versions of " + shown
                            + ": no such file, and the version store knows no document there");
            return std::nullopt;
        }
        fail(error, errnoMessage("cannot open " + shown, cause));
        return std::nullopt;
    }
    const bool folder = S_ISDIR(status.st_mode);
    switch (wanted) {
    case Wanted::Document:
        if (folder) {
            fail(error, "cannot show the versions of " + shown
                            + ": it is a folder (to unarchive it, use --unarchive or drop it on the window)");
            return std::nullopt;
        }
        return FileUrl::fromPath(path);
    case Wanted::File:
        if (folder) {
            fail(error, "cannot archive " + shown + ": it is a folder (to unarchive it, use --unarchive)");
            return std::nullopt;
        }
        return FileUrl::fromPath(path);
    case Wanted::Folder:
        if (!folder) {
            fail(error, "cannot unarchive " + shown + ": it is not a folder");
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
    // The arguments are sorted first, so that --help and --version are
    // answered whatever else is wrong, and checked after.
    std::vector<std::pair<Wanted, std::string>> items;
    std::optional<std::string> refused;
    bool help = false;
    bool version = false;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (optionsEnded || !argument.starts_with('-') || argument == "-") {
            items.emplace_back(Wanted::Document, argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "-h" || argument == "--help") {
            help = true;
        } else if (argument == "-v" || argument == "--version") {
            version = true;
        } else {
            bool known = false;
            for (const auto& [name, kind] : {std::pair{"--archive", Wanted::File}, {"--unarchive", Wanted::Folder}}) {
                const std::string option = name;
                if (argument == option) {
                    known = true;
                    if (i + 1 < argc)
                        items.emplace_back(kind, argv[++i]);
                    else if (!refused)
                        refused = option + " needs " + (kind == Wanted::File ? "a file" : "a folder");
                } else if (argument.starts_with(option + "=")) {
                    known = true;
                    items.emplace_back(kind, argument.substr(option.size() + 1));
                }
            }
            if (!known && !refused)
                refused = "unknown option " + printableName(argument) + " (a file whose name begins with \"-\" goes "
                        + "after \"--\")";
        }
    }
    LaunchRequest request;
    if (help || version) {
        request.action = help ? LaunchRequest::Action::ShowHelp : LaunchRequest::Action::ShowVersion;
        return request;
    }
    if (refused) {
        fail(error, *refused);
        return std::nullopt;
    }
    for (const auto& [wanted, value] : items) {
        const auto url = checked(value, wanted, storeLocation, error);
        if (!url)
            return std::nullopt;
        (wanted == Wanted::Document ? request.documents : request.drops).push_back(*url);
    }
    return request;
}

std::string launchHelp()
{
    return "Usage: strataloom [FILE...]\n"
           "       strataloom --archive FILE\n"
           "       strataloom --unarchive FOLDER\n"
           "\n"
           "Strataloom keeps the versions of your documents. A watcher running as a systemd user service saves a\n"
           "version each time a file in a watched folder is saved (strataloom-cli watch add FOLDER), and\n"
           "strataloom-cli save-version FILE saves one when asked; old automatic versions are thinned by age and\n"
           "a size cap, while versions you saved or pinned stay.\n"
           "\n"
           "Given files, this program opens a window for each listing its versions with a preview, from which a\n"
           "version is restored as a copy beside the document, kept forever, deleted, or archived with the rest.\n"
           "Without files it opens a window that takes drops: a file dropped on it has its versions copied into a\n"
           "new folder of numbered files that keep their dates, and such a folder dropped on it becomes a new file\n"
           "with those versions again. File > Watched Folders... chooses the folders the watcher versions.\n"
           "\n"
           "Options:\n"
           "  -h, --help          Show this help and exit.\n"
           "  -v, --version       Show the version and exit.\n"
           "  --archive FILE      Archive the versions of FILE, as a drop of it on the window does.\n"
           "  --unarchive FOLDER  Unarchive FOLDER, as a drop of it on the window does.\n"
           "  --                  Take every later argument as a file, even one beginning with \"-\".\n"
           "\n"
           "Every command of the version store: strataloom-cli --help. Manuals: strataloom(1), strataloom-cli(1).\n";
}

} // namespace strataloom
