#pragma once

#include "FileUrl.h"

#include <optional>
#include <string>
#include <vector>

namespace strataloom {

// What the window program is asked to do by its command line.
struct LaunchRequest {
    enum class Action { Open, ShowHelp, ShowVersion };
    Action action = Action::Open;
    // Documents to browse the versions of, one window each.
    std::vector<FileUrl> documents;
    // Items of --archive (files) and --unarchive (folders), in the order given,
    // to take the road of a drop on the main window.
    std::vector<FileUrl> drops;
};

// Reads every argument after argv[0] itself, as exact bytes (names need not be
// UTF-8), with relative paths taken from the working folder. It knows -h,
// --help, -v, --version, --archive FILE, --unarchive FOLDER (also as
// --archive=FILE), and "--", after which every argument is a document; the
// value of --archive and --unarchive is the next argument whatever it begins
// with. Any other argument beginning with "-" is refused, so that nothing meant
// for another program's parser passes. A document must exist as a file, or be
// one the version store at `storeLocation` knows by the place it was last seen;
// an item of --archive must be an existing file, one of --unarchive an existing
// folder. Empty, with the reason in `error`, when an argument is refused.
std::optional<LaunchRequest> launchRequest(int argc, const char* const* argv, const std::string& storeLocation,
                                           std::string* error = nullptr);

// The text of --help.
std::string launchHelp();

} // namespace strataloom
