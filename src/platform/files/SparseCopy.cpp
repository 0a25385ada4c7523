#include "SparseCopy.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <memory>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace strataloom {

namespace {

constexpr std::uint64_t kNoEnd = std::numeric_limits<std::uint64_t>::max();

// A kernel or file system that cannot copy between these two files says so
// on the first call with one of these; a later failure is a real one.
bool kernelCannotCopy(int error)
{
    return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EPERM;
}

bool writeAllAt(int fd, const char* data, std::size_t size, std::uint64_t offset)
{
    while (size > 0) {
        const ssize_t put = pwrite(fd, data, size, static_cast<off_t>(offset));
        if (put < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += put;
        size -= static_cast<std::size_t>(put);
        offset += static_cast<std::uint64_t>(put);
    }
    return true;
}

class RangeCopier {
public:
    RangeCopier(int in, int out, char* buffer, std::size_t bufferSize, const CopyListener& listener)
        : m_in(in)
        , m_out(out)
        , m_buffer(buffer)
        , m_bufferSize(bufferSize)
        , m_listener(listener)
    {
    }

    // Copies [begin, end) and returns the offset reached: `end`, or less
    // where the source ends first; none with errno set on failure.
    std::optional<std::uint64_t> copy(std::uint64_t begin, std::uint64_t end)
    {
        while (begin < end) {
            const std::optional<std::uint64_t> copied =
                m_method == CopyMethod::Kernel ? kernelStep(begin, end) : bufferStep(begin, end);
            if (!copied)
                return std::nullopt;
            if (*copied == 0)
                break;
            begin += *copied;
            if (m_listener.stepped)
                m_listener.stepped(begin);
        }
        return begin;
    }

    CopyMethod method() const { return m_method; }

private:
    std::optional<std::uint64_t> kernelStep(std::uint64_t begin, std::uint64_t end)
    {
        const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(m_bufferSize * 64, end - begin));
        ssize_t copied;
        do {
            loff_t from = static_cast<loff_t>(begin);
            loff_t to = from;
            copied = copy_file_range(m_in, &from, m_out, &to, chunk, 0);
        } while (copied < 0 && errno == EINTR);
        if (copied >= 0) {
            m_anyCopied = m_anyCopied || copied > 0;
            return static_cast<std::uint64_t>(copied);
        }
        if (!m_anyCopied && kernelCannotCopy(errno)) {
            m_method = CopyMethod::Buffer;
            return bufferStep(begin, end);
        }
        return std::nullopt;
    }

    std::optional<std::uint64_t> bufferStep(std::uint64_t begin, std::uint64_t end)
    {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(m_bufferSize, end - begin));
        if (!m_buffer) {
            m_ownBuffer = std::make_unique<char[]>(m_bufferSize);
            m_buffer = m_ownBuffer.get();
        }
        ssize_t got;
        do
            got = pread(m_in, m_buffer, want, static_cast<off_t>(begin));
        while (got < 0 && errno == EINTR);
        if (got < 0 || !writeAllAt(m_out, m_buffer, static_cast<std::size_t>(got), begin))
            return std::nullopt;
        if (got > 0 && m_listener.passed)
            m_listener.passed(begin, m_buffer, static_cast<std::size_t>(got));
        return static_cast<std::uint64_t>(got);
    }

    int m_in;
    int m_out;
    char* m_buffer;
    std::unique_ptr<char[]> m_ownBuffer;
    std::size_t m_bufferSize;
    const CopyListener& m_listener;
    CopyMethod m_method = CopyMethod::Kernel;
    bool m_anyCopied = false;
};

} // namespace

bool forEachDataRun(int fd, std::uint64_t size, const std::function<bool(std::uint64_t, std::uint64_t)>& visit)
{
    for (std::uint64_t offset = 0; offset < size;) {
        const off_t data = lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) // only a hole remains
                return true;
            // Without SEEK_DATA the rest is taken as data.
            if (errno != EINVAL && errno != EOPNOTSUPP)
                return false;
            if (visit(offset, size))
                return true;
            if (errno == 0)
                errno = ECANCELED;
            return false;
        }
        if (static_cast<std::uint64_t>(data) >= size)
            return true;
        const off_t hole = lseek(fd, data, SEEK_HOLE);
        if (hole < 0)
            return false;
        const std::uint64_t end = std::min<std::uint64_t>(static_cast<std::uint64_t>(hole), size);
        if (!visit(static_cast<std::uint64_t>(data), end)) {
            if (errno == 0)
                errno = ECANCELED;
            return false;
        }
        offset = end;
    }
    return true;
}

std::optional<std::uint64_t> copyKeepingHoles(int in, int out, std::uint64_t size, char* buffer, std::size_t bufferSize,
                                              CopyMethod& method, bool toEnd, const CopyListener& listener)
{
    if (ioctl(out, FICLONE, in) == 0) {
        method = CopyMethod::Clone;
        struct stat status {};
        if (fstat(out, &status) != 0)
            return std::nullopt;
        std::uint64_t length = static_cast<std::uint64_t>(status.st_size);
        if (!toEnd && length != size) {
            if (ftruncate(out, static_cast<off_t>(size)) != 0)
                return std::nullopt;
            length = size;
        }
        if (listener.stepped)
            listener.stepped(length);
        return length;
    }
    RangeCopier copier(in, out, buffer, bufferSize, listener);
    std::uint64_t length = size;
    std::uint64_t written = 0; // the end of the last data written
    bool shortened = false;
    const bool copied = forEachDataRun(in, size, [&](std::uint64_t begin, std::uint64_t end) {
        errno = 0;
        const std::optional<std::uint64_t> reached = copier.copy(begin, end);
        if (reached && *reached > begin)
            written = *reached;
        if (reached && *reached < end) { // the source was cut short meanwhile
            length = *reached;
            shortened = true;
            errno = 0;
            return false;
        }
        return reached.has_value();
    });
    if (!copied && !shortened)
        return std::nullopt;
    if (toEnd && !shortened) {
        const std::optional<std::uint64_t> reached = copier.copy(size, kNoEnd);
        if (!reached)
            return std::nullopt;
        if (*reached > size)
            written = *reached;
        length = std::max(length, *reached);
    }
    method = copier.method();
    if (!toEnd)
        length = size;
    // A hole at the end is made by the length alone.
    if (written != length && ftruncate(out, static_cast<off_t>(length)) != 0)
        return std::nullopt;
    return length;
}

} // namespace strataloom
