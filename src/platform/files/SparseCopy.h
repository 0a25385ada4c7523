#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

// Copying file contents without filling holes: a sparse file takes on disk in
// its copy what it takes in the original, never its whole length.
namespace strataloom {

// Calls `visit(begin, end)` for each run of data in the first `size` bytes of
// `fd`, in order; the bytes between runs are holes, which read as zeros. A
// file system that does not track holes reports one run. False, with errno
// set, when the file cannot be examined or `visit` returns false.
bool forEachDataRun(int fd, std::uint64_t size, const std::function<bool(std::uint64_t, std::uint64_t)>& visit);

// How copyKeepingHoles() copied: a clone shares the source's extents, so its
// bytes were never read; the kernel copies without a user buffer; the buffer
// is the plain read-write copy of last resort.
enum class CopyMethod { Clone, Kernel, Buffer };

struct CopyListener {
    // Sees every byte the buffer copy writes, with its offset, in order.
    std::function<void(std::uint64_t offset, const char* data, std::size_t size)> passed;
    // Called after each step of the copy with the offset it reached. A seam
    // for tests that change the source in the middle of a copy.
    std::function<void(std::uint64_t reached)> stepped;
};

// Copies the first `size` bytes of `in` into the empty file `out`, writing
// only the source's data runs, and gives `out` that length, so holes stay
// holes. With `toEnd`, whatever lies past `size` is copied too, up to the end
// the source has then. A clone is tried first, then copy_file_range, then
// reads and writes through `buffer` (or one of
// `bufferSize` bytes allocated then, when `buffer` is null). Offsets are explicit: neither file's
// position matters or moves. The length given to `out` on success, none with
// errno set on failure.
std::optional<std::uint64_t> copyKeepingHoles(int in, int out, std::uint64_t size, char* buffer, std::size_t bufferSize,
                                              CopyMethod& method, bool toEnd = false,
                                              const CopyListener& listener = {});

} // namespace strataloom
