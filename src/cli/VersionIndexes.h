#pragma once

#include "Commands.h"
#include "VersionEdits.h"

#include <optional>
#include <string>
#include <vector>

namespace strataloom::cli {

// The versions given after the file: numbers as `versions` prints them
// ("00002" or "2"), or ids as it shows them (any beginning of 8 to 32 hex
// digits), in the order given; empty, with the offending word in `bad`, when
// one is neither.
std::optional<std::vector<VersionChoice>> versionChoices(const std::vector<std::string>& words, std::string& bad);

// The versions an acting command (pin, unpin, delete-version) was given, with
// the checksum `--expect-checksum` asks the version to still hold; empty after
// printing a usage error, with the exit code in `exitCode`.
std::optional<std::vector<VersionChoice>> chosenVersions(const Invocation& invocation, int& exitCode);

} // namespace strataloom::cli
