#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace strataloom::cli {

// Exit codes shared by every command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

// Each command gets its positional arguments as the exact bytes given on the
// command line (file names need not be UTF-8) and the options it declared.
struct Invocation {
    std::vector<std::string> arguments;
    std::vector<std::string> options; // long names of the flags given, e.g. "json"
    std::map<std::string, std::string> values; // options given with a value, by long name
    bool has(const std::string& option) const;
    std::optional<std::string> value(const std::string& option) const;
};

int saveVersion(const Invocation& invocation);
int versions(const Invocation& invocation);
int archive(const Invocation& invocation);
int unarchive(const Invocation& invocation);
int check(const Invocation& invocation);
int prune(const Invocation& invocation);
int forget(const Invocation& invocation);
int documents(const Invocation& invocation);
int watchAdd(const Invocation& invocation);
int watchRemove(const Invocation& invocation);
int watchList(const Invocation& invocation);
int watchStatus(const Invocation& invocation);
int watchRun(const Invocation& invocation);
int thin(const Invocation& invocation);
int compact(const Invocation& invocation);
int pin(const Invocation& invocation);
int unpin(const Invocation& invocation);
int deleteVersion(const Invocation& invocation);
int restore(const Invocation& invocation);
int desktopIntegrationInstall(const Invocation& invocation);
int desktopIntegrationUninstall(const Invocation& invocation);

} // namespace strataloom::cli
