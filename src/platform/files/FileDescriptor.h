#pragma once

#include "FileAttributes.h"

#include <optional>
#include <string>

#include <unistd.h>

namespace strataloom {

// Owns an open file descriptor and closes it once.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd)
        : m_fd(fd)
    {
    }
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept
        : m_fd(other.release())
    {
    }
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

// The dates of an open item, as readDates() gives them for a path.
std::optional<FileDates> readDates(int fd, std::string* error = nullptr);
// Sets both dates of an open item (not a symlink). The access time is left
// alone unless `accessTime` is given.
bool setDates(int fd, const FileDates& dates, const std::optional<FileTime>& accessTime = std::nullopt,
              std::string* error = nullptr);

// "<seconds>.<nine digits>", the creation attribute's format, and its reverse.
std::string formatCreationAttribute(const FileTime& time);
std::optional<FileTime> parseCreationAttribute(const std::string& text);

} // namespace strataloom
