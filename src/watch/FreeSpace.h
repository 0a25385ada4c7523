#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The free space the watcher leaves on the store's file system: it adds no
// version that would take the file system under this floor.
namespace strataloom::watch {

struct Space {
    std::uint64_t available = 0; // to an unprivileged user
    std::uint64_t total = 0;
};

// The file system holding `path`; empty when it cannot be asked.
std::optional<Space> spaceAt(const std::string& path);

// `setting` when given, else 5 % of the file system or 1 GiB, whichever is less.
std::uint64_t freeSpaceFloor(std::uint64_t total, std::optional<std::uint64_t> setting);

} // namespace strataloom::watch
