#include "NautilusScripts.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <pwd.h>
#include <unistd.h>

namespace strataloom::cli {

namespace {

// Every script begins so: the selected paths, one per line, taken whole.
const std::string kHeader = "#!/bin/sh\n"
                            "# Written by strataloom-cli desktop-integration install, which uninstall removes.\n"
                            "IFS='\n'\n"
                            "set -f\n";

// The window program, once, with an option before each selected item.
std::string eachWithOption(const std::string& option)
{
    return kHeader
         + "set --\n"
           "for item in $NAUTILUS_SCRIPT_SELECTED_FILE_PATHS; do\n"
           "    set -- \"$@\" "
         + option
         + " \"$item\"\n"
           "done\n"
           "exec strataloom \"$@\"\n";
}

} // namespace

const std::vector<NautilusScript>& nautilusScripts()
{
    static const std::vector<NautilusScript> scripts = {
        {"Show Versions", kHeader + "exec strataloom -- $NAUTILUS_SCRIPT_SELECTED_FILE_PATHS\n"},
        {"Save a Version Now", kHeader
                                   + "status=0\n"
                                     "for item in $NAUTILUS_SCRIPT_SELECTED_FILE_PATHS; do\n"
                                     "    strataloom-cli save-version -- \"$item\" || status=1\n"
                                     "done\n"
                                     "exit $status\n"},
        {"Archive Versions\u2026", eachWithOption("--archive")},
        {"Unarchive\u2026", eachWithOption("--unarchive")},
    };
    return scripts;
}

std::string nautilusScriptFolder()
{
    std::string data;
    if (const char* value = std::getenv("XDG_DATA_HOME"); value && value[0] == '/') {
        data = value;
    } else {
        std::string home;
        if (const char* value = std::getenv("HOME"); value && value[0])
            home = value;
        else if (const struct passwd* user = getpwuid(getuid()))
            home = user->pw_dir;
        data = home + "/.local/share";
    }
    return data + "/nautilus/scripts/Strataloom";
}

std::optional<std::string> regularFileContents(const std::string& path)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(path, error)))
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open())
        return std::nullopt;
    std::string contents(std::istreambuf_iterator<char>(in), {});
    if (in.bad())
        return std::nullopt;
    return contents;
}

} // namespace strataloom::cli
