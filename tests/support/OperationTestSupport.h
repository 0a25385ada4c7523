#pragma once

#include "Reporter.h"
#include "support/TestEnvironment.h"

#include <QString>

#include <algorithm>
#include <sstream>
#include <string_view>

#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

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

// The test's own environment with `given` ("NAME=value") replacing or adding to it.
inline std::vector<std::string> withEnvironment(const std::vector<std::string>& given)
{
    std::vector<std::string> variables = given;
    for (char** variable = environ; *variable; ++variable) {
        const std::string_view own(*variable);
        const std::string_view name = own.substr(0, own.find('=') + 1);
        if (std::none_of(given.begin(), given.end(), [&](const std::string& v) { return v.starts_with(name); }))
            variables.emplace_back(own);
    }
    return variables;
}

// Runs `program` with `arguments` as exact bytes, in `workingFolder`, with
// `environment` ("NAME=value") replacing or adding to the test's own.
inline CliResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                            const std::string& workingFolder = {}, const std::vector<std::string>& environment = {})
{
    const std::string scratch = makeScratchFolder("cli-output");
    const std::string outPath = scratch + "/out", errPath = scratch + "/err";
    // Everything the child needs is made before fork: only system calls follow it.
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> variables = withEnvironment(environment);
    std::vector<char*> envp;
    for (std::string& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0)
            _exit(127);
        if (!workingFolder.empty() && chdir(workingFolder.c_str()) != 0)
            _exit(127);
        execve(program.c_str(), argv.data(), envp.data());
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

// The lines of a command's text output, each split at its tabs.
using Row = std::vector<std::string>;
inline std::vector<Row> rowsOf(const std::string& output)
{
    std::vector<Row> rows;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        rows.emplace_back();
        for (std::string field; std::getline(fields, field, '\t');)
            rows.back().push_back(field);
    }
    return rows;
}

// Runs the built strataloom-cli with `arguments` as exact bytes, in `workingFolder`.
inline CliResult runCli(const std::vector<std::string>& arguments, const std::string& workingFolder = {})
{
    return runProgram(STRATALOOM_CLI, arguments, workingFolder);
}

} // namespace strataloom::test
