#include "SharedExtents.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

namespace strataloom {

namespace {

struct Extent {
    std::uint64_t logical = 0;
    std::uint64_t physical = 0;
    std::uint64_t length = 0;
};

// Past this many extents a file is read instead: its map would cost more
// memory than the comparison saves.
constexpr std::size_t kMostExtents = 16384;
constexpr unsigned kExtentsPerCall = 128;

// Flags that leave an extent's bytes exactly at its physical address. Any
// other (compressed, inline, unwritten, delayed, unknown) says that the
// address alone does not tell which bytes the file reads there. Two files
// at one address share it, so a file system that does not say so is not
// trusted with its addresses.
constexpr std::uint32_t kPlainFlags = FIEMAP_EXTENT_LAST | FIEMAP_EXTENT_MERGED | FIEMAP_EXTENT_SHARED;

// The data extents of the first `size` bytes, cut at `size`, neighbours that
// continue each other merged (file systems split maps differently); none
// when the map cannot be read or holds an extent not plainly addressed.
// `flags` are FIEMAP's.
std::optional<std::vector<Extent>> extentsOf(int fd, std::uint64_t size, std::uint32_t flags)
{
    std::vector<char> request(sizeof(fiemap) + kExtentsPerCall * sizeof(fiemap_extent));
    auto* map = reinterpret_cast<fiemap*>(request.data());
    std::vector<Extent> extents;
    for (std::uint64_t start = 0; start < size;) {
        std::memset(request.data(), 0, request.size());
        map->fm_start = start;
        map->fm_length = size - start;
        map->fm_flags = flags;
        map->fm_extent_count = kExtentsPerCall;
        if (ioctl(fd, FS_IOC_FIEMAP, map) != 0)
            return std::nullopt;
        if (map->fm_mapped_extents == 0)
            break;
        bool last = false;
        for (unsigned i = 0; i < map->fm_mapped_extents; ++i) {
            const fiemap_extent& found = map->fm_extents[i];
            if ((found.fe_flags & ~kPlainFlags) != 0 || (found.fe_flags & FIEMAP_EXTENT_SHARED) == 0
                || found.fe_length == 0)
                return std::nullopt;
            last = last || (found.fe_flags & FIEMAP_EXTENT_LAST) != 0;
            if (found.fe_logical >= size)
                continue;
            Extent extent{found.fe_logical, found.fe_physical, std::min(found.fe_length, size - found.fe_logical)};
            if (!extents.empty()) {
                Extent& previous = extents.back();
                if (previous.logical + previous.length == extent.logical
                    && previous.physical + previous.length == extent.physical) {
                    previous.length += extent.length;
                    continue;
                }
            }
            if (extents.size() == kMostExtents)
                return std::nullopt;
            extents.push_back(extent);
        }
        const fiemap_extent& end = map->fm_extents[map->fm_mapped_extents - 1];
        if (last || end.fe_logical + end.fe_length <= start)
            break;
        start = end.fe_logical + end.fe_length;
    }
    return extents;
}

} // namespace

bool sameExtents(int one, int other)
{
    struct stat first {};
    struct stat second {};
    // Physical addresses compare only within one file system, and a file
    // trivially shares its extents with itself.
    if (fstat(one, &first) != 0 || fstat(other, &second) != 0 || !S_ISREG(first.st_mode) || !S_ISREG(second.st_mode)
        || first.st_dev != second.st_dev || first.st_ino == second.st_ino || first.st_size != second.st_size)
        return false;
    const auto size = static_cast<std::uint64_t>(first.st_size);
    // Mapped as it stands first, which writes nothing: a file that shares
    // nothing (any copy where nothing clones) is told apart without the
    // write-back of its dirty pages that the maps compared below wait for.
    if (!extentsOf(one, size, 0))
        return false;
    const auto ours = extentsOf(one, size, FIEMAP_FLAG_SYNC);
    if (!ours || ours->empty())
        return false;
    const auto theirs = extentsOf(other, size, FIEMAP_FLAG_SYNC);
    if (!theirs || theirs->size() != ours->size())
        return false;
    for (std::size_t i = 0; i < ours->size(); ++i) {
        const Extent &a = (*ours)[i], &b = (*theirs)[i];
        if (a.logical != b.logical || a.physical != b.physical || a.length != b.length)
            return false;
    }
    return true;
}

} // namespace strataloom
