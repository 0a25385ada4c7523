#pragma once

#include "FileUrl.h"

#include <optional>
#include <string>
#include <vector>

namespace strataloom {

// What the window program is asked to open from its command line.
struct LaunchRequest {
    // Documents to browse the versions of, one window each.
    std::vector<FileUrl> documents;
    // Items of --archive (files) and --unarchive (folders), in the order given,
    // to take the road of a drop on the main window.
    std::vector<FileUrl> drops;
};

// Reads the arguments Qt has left, as exact bytes (names need not be UTF-8),
// with relative paths taken from the working folder. A document must exist as
// a file, or be one the version store at `storeLocation` knows by the place it
// was last seen; an item of --archive must be an existing file, one of
// --unarchive an existing folder. Empty, with the reason in `error`, when one
// is not; options other than these two are skipped, having been checked.
std::optional<LaunchRequest> launchRequest(int argc, const char* const* argv, const std::string& storeLocation,
                                           std::string* error = nullptr);

} // namespace strataloom
