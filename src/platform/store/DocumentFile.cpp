// Opening a document's file once, safely against a folder shared with others.
#include "DocumentFile.h"
#include "ErrorMessage.h"
#include "Paths.h"

#include <cerrno>
#include <climits>

#include <fcntl.h>

namespace strataloom::store {

namespace {

constexpr int kOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// The canonical path of an open folder: the one the kernel resolved, so that
// it names the very folder opened even if its path has changed since.
std::optional<std::string> folderPathOf(int folder, const std::string& given)
{
    std::string target(PATH_MAX, '\0');
    const std::string link = "/proc/self/fd/" + std::to_string(folder);
    const ssize_t length = readlink(link.c_str(), target.data(), target.size());
    if (length > 0 && target[0] == '/') {
        target.resize(static_cast<std::size_t>(length));
        return target;
    }
    // Without /proc: the folder's resolved path, if it is still the folder opened.
    const auto resolved = realPath(given);
    struct stat opened {};
    struct stat found {};
    if (!resolved || fstat(folder, &opened) != 0 || stat(resolved->c_str(), &found) != 0
        || opened.st_dev != found.st_dev || opened.st_ino != found.st_ino)
        return std::nullopt;
    return resolved;
}

bool refuse(std::string* error, int cause, std::string message)
{
    fail(error, std::move(message));
    errno = cause;
    return false;
}

} // namespace

std::optional<DocumentFile> openDocumentFile(const std::string& path, const OpenOptions& options, std::string* error)
{
    const auto slash = path.find_last_of('/');
    const std::string folderPath = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    UniqueFd folder(open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) {
        fail(error, errnoMessage("cannot open the folder of " + path));
        return std::nullopt;
    }
    const auto canonicalFolder = folderPathOf(folder.get(), folderPath);
    if (!canonicalFolder) {
        fail(error, errnoMessage("cannot find the folder of " + path));
        return std::nullopt;
    }
    DocumentFile file;
    file.path = (*canonicalFolder == "/" ? "" : *canonicalFolder) + "/" + name;
    if (options.canonical && file.path != path) {
        refuse(error, ENOENT, "not versioning " + path + ": its folder was moved or replaced by a link");
        return std::nullopt;
    }
    if (name.empty() || name == "." || name == "..") {
        refuse(error, EISDIR, "the document " + path + " is not a regular file");
        return std::nullopt;
    }
    file.fd.reset(openat(folder.get(), name.c_str(), kOpenFlags));
    if (!file.fd.valid()) {
        if (errno == ELOOP)
            refuse(error, ELOOP, "the document " + path + " is a symbolic link; name the file it points to");
        else
            fail(error, errnoMessage("cannot open the document " + path));
        return std::nullopt;
    }
    if (fstat(file.fd.get(), &file.status) != 0) {
        fail(error, errnoMessage("cannot examine the document " + path));
        return std::nullopt;
    }
    if (!S_ISREG(file.status.st_mode)) {
        refuse(error, EINVAL, "the document " + path + " is not a regular file");
        return std::nullopt;
    }
    if (options.judged
        && (options.judged->st_dev != file.status.st_dev || options.judged->st_ino != file.status.st_ino)) {
        refuse(error, ENOENT, "not versioning " + path + ": it was replaced while it was being saved");
        return std::nullopt;
    }
    return file;
}

UniqueFd openContentsFile(const std::string& path, struct stat& status, std::string* error)
{
    UniqueFd file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.valid() || fstat(file.get(), &status) != 0) {
        fail(error, errnoMessage("cannot read the contents file " + path));
        return UniqueFd();
    }
    if (!S_ISREG(status.st_mode)) {
        refuse(error, EINVAL, "the contents file " + path + " is not a regular file");
        return UniqueFd();
    }
    return file;
}

} // namespace strataloom::store
