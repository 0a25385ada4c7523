#include "FreeSpace.h"

#include <algorithm>

#include <sys/statvfs.h>

namespace strataloom::watch {

std::optional<Space> spaceAt(const std::string& path)
{
    struct statvfs info {};
    if (statvfs(path.c_str(), &info) != 0)
        return std::nullopt;
    return Space{static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize,
                 static_cast<std::uint64_t>(info.f_blocks) * info.f_frsize};
}

std::uint64_t freeSpaceFloor(std::uint64_t total, std::optional<std::uint64_t> setting)
{
    if (setting)
        return *setting;
    return std::min<std::uint64_t>(total / 20, std::uint64_t{1} << 30);
}

} // namespace strataloom::watch
