#include "CliReporter.h"
#include "Commands.h"

#include "WatchSettings.h"

#include <cstdio>

namespace strataloom::cli {

// One folder per line, as the exact bytes of its path.
int watchList(const Invocation&)
{
    std::string text;
    for (const std::string& folder : WatchSettings().folders())
        text += folder + "\n";
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
        printError("cannot write the list of folders");
        return kExitFailure;
    }
    return kExitOk;
}

} // namespace strataloom::cli
