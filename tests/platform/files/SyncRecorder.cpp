// Loaded with LD_PRELOAD into a program under test: appends one line per
// fsync, fdatasync or syncfs to the file STRATALOOM_SYNC_LOG names, then makes
// the call. A line is "<call> <file|folder|other> <path>", in the order the
// calls were made. The order in which files and folders reach the disk cannot
// be seen from the files afterwards, on ext4 least of all.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

void record(const char* call, int fd)
{
    const char* logPath = std::getenv("STRATALOOM_SYNC_LOG");
    if (!logPath)
        return;
    const int savedErrno = errno;
    char target[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    struct stat status {};
    const char* kind = fstat(fd, &status) != 0 ? "other"
                     : S_ISREG(status.st_mode) ? "file"
                     : S_ISDIR(status.st_mode) ? "folder"
                                               : "other";
    const std::string line = std::string(call) + " " + kind + " "
                           + (length > 0 ? std::string(target, static_cast<std::size_t>(length)) : "?") + "\n";
    // One write of a line opened for appending: lines of several threads never mix.
    const int log = open(logPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (log >= 0) {
        (void)!write(log, line.data(), line.size());
        close(log);
    }
    errno = savedErrno;
}

template <typename Function> Function next(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int fsync(int fd)
{
    static const auto real = next<int (*)(int)>("fsync");
    record("fsync", fd);
    return real(fd);
}

extern "C" int fdatasync(int fd)
{
    static const auto real = next<int (*)(int)>("fdatasync");
    record("fdatasync", fd);
    return real(fd);
}

extern "C" int syncfs(int fd)
{
    static const auto real = next<int (*)(int)>("syncfs");
    record("syncfs", fd);
    return real(fd);
}
