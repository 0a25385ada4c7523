#pragma once

#include <optional>
#include <string>
#include <vector>

namespace strataloom::cli {

// The actions GNOME Files offers under Scripts ▸ Strataloom: one small shell
// script each, taking the selected items from its arguments.
struct NautilusScript {
    std::string name; // as the menu shows it, and the script's file name
    std::string contents;
    // What earlier releases wrote under this name: install replaces it and
    // uninstall removes it, as it does `contents`.
    std::string earlierContents;
};

const std::vector<NautilusScript>& nautilusScripts();

// $XDG_DATA_HOME/nautilus/scripts/Strataloom (by default under ~/.local/share).
std::string nautilusScriptFolder();

// The whole contents of the regular file at `path`; none when there is no
// such file or it cannot be read.
std::optional<std::string> regularFileContents(const std::string& path);

// Whether `contents` is this script as this or an earlier release wrote it.
bool isInstalledScript(const NautilusScript& script, const std::optional<std::string>& contents);

// Where install writes the script before renaming it into place. A write cut
// short leaves it behind; it is ours when it is a regular file holding a
// beginning of what install writes.
std::string temporaryScriptPath(const std::string& path);
bool isLeftoverOfInstall(const NautilusScript& script, const std::string& path);

} // namespace strataloom::cli
