#include "FileAttributes.h"
#include "ErrorMessage.h"
#include "FileDescriptor.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

namespace strataloom {

namespace {

FileTime fromStatx(const struct statx_timestamp& stamp)
{
    return {stamp.tv_sec, stamp.tv_nsec};
}

struct timespec toTimespec(const FileTime& time)
{
    struct timespec result {};
    result.tv_sec = static_cast<time_t>(time.seconds);
    result.tv_nsec = static_cast<long>(time.nanoseconds);
    return result;
}

FileDates datesFrom(const struct statx& status, const std::optional<std::string>& attribute)
{
    FileDates dates;
    dates.modification = fromStatx(status.stx_mtime);
    std::optional<FileTime> creation;
    if (attribute)
        creation = parseCreationAttribute(*attribute);
    if (!creation && (status.stx_mask & STATX_BTIME))
        creation = fromStatx(status.stx_btime);
    dates.creation = creation.value_or(dates.modification);
    return dates;
}

// The attribute's value, small enough for a fixed buffer; none when absent or
// unreadable, which falls back to the birth time.
template <typename Getter> std::optional<std::string> readAttribute(Getter get)
{
    char buffer[64];
    const ssize_t length = get(buffer, sizeof buffer);
    if (length < 0)
        return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(length));
}

constexpr unsigned kStatxMask = STATX_BASIC_STATS | STATX_BTIME;

} // namespace

std::string FileTime::toIso8601() const
{
    const time_t clock = static_cast<time_t>(seconds);
    struct tm broken {};
    if (!gmtime_r(&clock, &broken))
        return {};
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%09uZ", broken.tm_year + 1900, broken.tm_mon + 1,
                  broken.tm_mday, broken.tm_hour, broken.tm_min, broken.tm_sec, nanoseconds);
    return text;
}

std::string formatCreationAttribute(const FileTime& time)
{
    char text[40];
    std::snprintf(text, sizeof text, "%lld.%09u", static_cast<long long>(time.seconds), time.nanoseconds);
    return text;
}

std::optional<FileTime> parseCreationAttribute(const std::string& text)
{
    const auto dot = text.find('.');
    if (dot == std::string::npos || text.size() - dot - 1 != 9)
        return std::nullopt;
    FileTime time;
    const char* begin = text.data();
    auto [secondsEnd, secondsError] = std::from_chars(begin, begin + dot, time.seconds);
    if (secondsError != std::errc() || secondsEnd != begin + dot || dot == 0)
        return std::nullopt;
    for (std::size_t i = dot + 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        time.nanoseconds = time.nanoseconds * 10 + static_cast<std::uint32_t>(text[i] - '0');
    }
    return time;
}

std::optional<FileDates> readDates(const std::string& path, std::string* error)
{
    struct statx status {};
    if (statx(AT_FDCWD, path.c_str(), AT_STATX_SYNC_AS_STAT, kStatxMask, &status) != 0) {
        fail(error, errnoMessage("cannot read the dates of " + path));
        return std::nullopt;
    }
    return datesFrom(status, readAttribute([&](char* buffer, std::size_t size) {
                         return getxattr(path.c_str(), kCreationDateAttribute, buffer, size);
                     }));
}

std::optional<FileDates> readDates(int fd, std::string* error)
{
    struct statx status {};
    if (statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, kStatxMask, &status) != 0) {
        fail(error, errnoMessage("cannot read the dates of " + pathOfDescriptor(fd)));
        return std::nullopt;
    }
    return datesFrom(status, readAttribute([&](char* buffer, std::size_t size) {
                         return fgetxattr(fd, kCreationDateAttribute, buffer, size);
                     }));
}

bool setDates(const std::string& path, const FileDates& dates, std::string* error)
{
    const std::string value = formatCreationAttribute(dates.creation);
    if (setxattr(path.c_str(), kCreationDateAttribute, value.data(), value.size(), 0) != 0 && errno != ENOTSUP)
        return fail(error, errnoMessage("cannot set the creation date of " + path));
    const struct timespec times[2] = {{0, UTIME_OMIT}, toTimespec(dates.modification)};
    if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
        return fail(error, errnoMessage("cannot set the modification date of " + path));
    return true;
}

bool setDates(int fd, const FileDates& dates, const std::optional<FileTime>& accessTime, std::string* error)
{
    const std::string value = formatCreationAttribute(dates.creation);
    if (fsetxattr(fd, kCreationDateAttribute, value.data(), value.size(), 0) != 0 && errno != ENOTSUP)
        return fail(error, errnoMessage("cannot set the creation date of " + pathOfDescriptor(fd)));
    struct timespec times[2] = {{0, UTIME_OMIT}, toTimespec(dates.modification)};
    if (accessTime)
        times[0] = toTimespec(*accessTime);
    if (futimens(fd, times) != 0)
        return fail(error, errnoMessage("cannot set the modification date of " + pathOfDescriptor(fd)));
    return true;
}

} // namespace strataloom
