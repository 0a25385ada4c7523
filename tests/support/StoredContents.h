#pragma once

// Reading a stored version as every reader does, and contents that the store
// keeps as a file of their own.
#include "ContentHash.h"
#include "FileVersion.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace strataloom::test {

// The whole of what `fd` reads; throws when a read fails.
inline std::string readAll(int fd)
{
    std::string text;
    char buffer[65536];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(got));
    if (got < 0)
        throw std::runtime_error("cannot read a version");
    return text;
}

// A version's contents, read as every reader reads them (materialised when
// they are held as a delta or compressed); throws when they cannot be read.
inline std::string contentsOf(const FileVersion& version)
{
    std::string why;
    const UniqueFd contents = version.openContents(&why);
    if (!contents.valid())
        throw std::runtime_error("cannot read a version: " + why);
    return readAll(contents.get());
}

// A version's contents, or "(unreadable)" with the reason in `why`: for
// versions that must never be read as other bytes.
inline std::string readVersion(const FileVersion& version, std::string* why = nullptr)
{
    const UniqueFd contents = version.openContents(why);
    return contents.valid() ? readAll(contents.get()) : "(unreadable)";
}

// The checksum of what a plain read of `path` gives; none when it cannot be read.
inline std::optional<std::string> checksumOfPath(const std::string& path)
{
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return fd.valid() ? checksumOfFile(fd.get()) : std::nullopt;
}

// `label` followed by 8 KiB that do not compress: too much to be packed into
// the index and the log, and never worth re-encoding, so a version of them
// stays a whole stored file, for tests of what happens to stored files.
inline std::string unpackable(const std::string& label)
{
    std::uint32_t seed = 2166136261u;
    for (const char c : label)
        seed = (seed ^ static_cast<unsigned char>(c)) * 16777619u;
    std::string text = label + "\n";
    for (int i = 0; i < 8 * 1024; ++i) {
        seed = seed * 1664525u + 1013904223u;
        text += static_cast<char>(seed >> 24);
    }
    return text;
}

} // namespace strataloom::test
