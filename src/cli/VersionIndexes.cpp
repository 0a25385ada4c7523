#include "VersionIndexes.h"
#include "CliReporter.h"
#include "Commands.h"

#include <QByteArray>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace strataloom::cli {

namespace {

// Shorter than any id, so a listed number is never taken for one.
constexpr std::size_t kLongestNumber = kShortestIdDigits - 1;

} // namespace

std::optional<std::vector<VersionChoice>> versionChoices(const std::vector<std::string>& words, std::string& bad)
{
    std::vector<VersionChoice> choices;
    for (const std::string& word : words) {
        if (isVersionIdPrefix(word)) {
            choices.push_back(VersionChoice::byId(word));
            continue;
        }
        std::size_t index = 0;
        const auto [end, failure] = std::from_chars(word.data(), word.data() + word.size(), index);
        if (word.empty() || word.size() > kLongestNumber || failure != std::errc()
            || end != word.data() + word.size()) {
            bad = word;
            return std::nullopt;
        }
        choices.emplace_back(index);
    }
    return choices;
}

std::optional<std::vector<VersionChoice>> chosenVersions(const Invocation& invocation, int& exitCode)
{
    exitCode = kExitUsage;
    std::string bad;
    auto choices = versionChoices({invocation.arguments.begin() + 1, invocation.arguments.end()}, bad);
    if (!choices) {
        printError("'" + bad + "' is neither a version number nor a version id, as versions lists them");
        return std::nullopt;
    }
    if (const auto expected = invocation.value("expect-checksum")) {
        const QByteArray checksum = QByteArray::fromHex(QByteArray::fromStdString(*expected));
        if (expected->size() != 32 || checksum.size() != 16
            || !std::all_of(expected->begin(), expected->end(),
                            [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; })) {
            printError("--expect-checksum takes the 32 hex digits versions --json lists as \"checksum\", not '"
                       + *expected + "'");
            return std::nullopt;
        }
        if (choices->size() != 1) {
            printError("--expect-checksum checks one version: give exactly one");
            return std::nullopt;
        }
        choices->front().expectedChecksum = checksum.toStdString();
    }
    return choices;
}

} // namespace strataloom::cli
