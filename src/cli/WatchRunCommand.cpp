#include "CliReporter.h"
#include "Commands.h"

#include "Watcher.h"

#include <QCoreApplication>

#include <charconv>
#include <cmath>

namespace strataloom::cli {

int watchRun(const Invocation& invocation)
{
    Watcher::Options options;
    if (const auto given = invocation.value("quiet-seconds")) {
        // from_chars reads "0.2" whatever the locale.
        double seconds = -1;
        const char* end = given->data() + given->size();
        if (const auto [stop, failure] = std::from_chars(given->data(), end, seconds);
            failure != std::errc() || stop != end)
            seconds = -1;
        if (!std::isfinite(seconds) || seconds < 0 || seconds > 24 * 3600) {
            printError("--quiet-seconds takes a number of seconds from 0 to 86400, not '" + *given + "'");
            return kExitUsage;
        }
        options.quietPeriod = std::chrono::milliseconds(std::llround(seconds * 1000));
    }
    Watcher watcher(options);
    int exitCode = kExitOk;
    QObject::connect(&watcher, &Watcher::finished, [&](int code) {
        exitCode = code;
        QCoreApplication::exit(code);
    });
    std::string error;
    if (!watcher.start(&error)) {
        printError(error);
        return kExitFailure;
    }
    QCoreApplication::exec();
    return exitCode;
}

} // namespace strataloom::cli
