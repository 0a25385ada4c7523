#include "NautilusScripts.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <pwd.h>
#include <unistd.h>

namespace strataloom::cli {

namespace {

// GNOME Files runs a script in the folder it shows and passes each selected
// item as one argument, relative to that folder, whatever bytes its name holds
// (files that are not local are not passed). Those arguments are used, never
// the newline-separated NAUTILUS_SCRIPT_SELECTED_FILE_PATHS, which cannot tell
// a newline in a name from the end of one.
const std::string kHeader = "#!/bin/sh\n"
                            "# Written by strataloom-cli desktop-integration install, which uninstall removes.\n"
                            "tell() {\n"
                            "    printf 'Strataloom: %s\\n' \"$1\" >&2\n"
                            "    if command -v notify-send >/dev/null 2>&1; then\n"
                            "        notify-send --icon=org.strataloom.Strataloom -- Strataloom \"$1\" 2>/dev/null\n"
                            "    fi\n"
                            "    return 0\n"
                            "}\n"
                            "if [ $# -eq 0 ]; then\n"
                            "    tell 'No file was passed on. Select one or more files in a folder on this computer "
                            "(not in Recent, Starred or a network place) and try again.'\n"
                            "    exit 1\n"
                            "fi\n";

// The window program, once, with `option` before each selected item.
std::string eachWithOption(const std::string& option)
{
    return kHeader + "for item do\n    shift\n    set -- \"$@\" " + option
         + " \"$item\"\ndone\nexec strataloom \"$@\"\n";
}

// The first release split NAUTILUS_SCRIPT_SELECTED_FILE_PATHS on newlines.
const std::string kEarlierHeader = "#!/bin/sh\n"
                                   "# Written by strataloom-cli desktop-integration install, which uninstall removes.\n"
                                   "IFS='\n'\n"
                                   "set -f\n";

std::string earlierEachWithOption(const std::string& option)
{
    return kEarlierHeader + "set --\nfor item in $NAUTILUS_SCRIPT_SELECTED_FILE_PATHS; do\n    set -- \"$@\" " + option
         + " \"$item\"\ndone\nexec strataloom \"$@\"\n";
}

} // namespace

const std::vector<NautilusScript>& nautilusScripts()
{
    static const std::vector<NautilusScript> scripts = {
        {"Show Versions", kHeader + "exec strataloom -- \"$@\"\n",
         kEarlierHeader + "exec strataloom -- $NAUTILUS_SCRIPT_SELECTED_FILE_PATHS\n"},
        {"Save a Version Now",
         kHeader
             + "status=0\n"
               "for item do\n"
               "    message=$(strataloom-cli save-version -- \"$item\" 2>&1 >/dev/null) || { tell \"$message\"; "
               "status=1; }\n"
               "done\n"
               "exit $status\n",
         kEarlierHeader
             + "status=0\n"
               "for item in $NAUTILUS_SCRIPT_SELECTED_FILE_PATHS; do\n"
               "    strataloom-cli save-version -- \"$item\" || status=1\n"
               "done\n"
               "exit $status\n"},
        {"Archive Versions\u2026", eachWithOption("--archive"), earlierEachWithOption("--archive")},
        {"Unarchive\u2026", eachWithOption("--unarchive"), earlierEachWithOption("--unarchive")},
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

bool isInstalledScript(const NautilusScript& script, const std::optional<std::string>& contents)
{
    return contents == script.contents || contents == script.earlierContents;
}

std::string temporaryScriptPath(const std::string& path)
{
    return path + ".part";
}

bool isLeftoverOfInstall(const NautilusScript& script, const std::string& path)
{
    const auto contents = regularFileContents(path);
    return contents && (script.contents.starts_with(*contents) || script.earlierContents.starts_with(*contents));
}

} // namespace strataloom::cli
