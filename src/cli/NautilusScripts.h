#pragma once

#include <optional>
#include <string>
#include <vector>

namespace strataloom::cli {

// The actions GNOME Files offers under Scripts ▸ Strataloom: one small shell
// script each, reading the selected items from NAUTILUS_SCRIPT_SELECTED_FILE_PATHS.
struct NautilusScript {
    std::string name; // as the menu shows it, and the script's file name
    std::string contents;
};

const std::vector<NautilusScript>& nautilusScripts();

// $XDG_DATA_HOME/nautilus/scripts/Strataloom (by default under ~/.local/share).
std::string nautilusScriptFolder();

// The whole contents of the regular file at `path`; none when there is no
// such file or it cannot be read.
std::optional<std::string> regularFileContents(const std::string& path);

} // namespace strataloom::cli
