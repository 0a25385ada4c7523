#pragma once

#include "Reporter.h"
#include "support/TestEnvironment.h"

#include <QString>

#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace strataloom::test {

// Keeps what an operation reported; can ask it to stop after a number of
// progress calls.
class RecordingReporter : public Reporter {
public:
    struct Step {
        std::size_t done;
        std::size_t total;
        std::string name;
        bool operator==(const Step&) const = default;
    };

    void showError(const QString& detail) override { errors.push_back(detail.toStdString()); }
    void progress(std::size_t done, std::size_t total, const std::string& name) override
    {
        steps.push_back({done, total, name});
    }
    bool shouldStop() const override { return stopAfter >= 0 && static_cast<int>(steps.size()) >= stopAfter; }

    std::vector<std::string> errors;
    std::vector<Step> steps;
    int stopAfter = -1;
};

struct CliResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the built strataloom-cli with `arguments` as exact bytes, in `workingFolder`.
inline CliResult runCli(const std::vector<std::string>& arguments, const std::string& workingFolder = {})
{
    const std::string scratch = makeScratchFolder("cli-output");
    const std::string outPath = scratch + "/out", errPath = scratch + "/err";
    // Everything the child needs is made before fork: only system calls follow it.
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(STRATALOOM_CLI));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0)
            _exit(127);
        if (!workingFolder.empty() && chdir(workingFolder.c_str()) != 0)
            _exit(127);
        execv(STRATALOOM_CLI, argv.data());
        _exit(127);
    }
    CliResult result;
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

} // namespace strataloom::test
