// The store's on-disk layout and ids; see StoreLayout.h and docs/STORE.md.
#include "StoreLayout.h"
#include "ErrorMessage.h"
#include "Paths.h"
#include "TextEncoding.h"

#include <cerrno>

#include <fcntl.h>

#include <sys/stat.h>

#include <sys/random.h>
#include <unistd.h>

namespace strataloom::store {

std::string randomId()
{
    unsigned char bytes[kIdLength / 2];
    std::size_t filled = 0;
    while (filled < sizeof bytes) {
        const ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (got > 0)
            filled += static_cast<std::size_t>(got);
    }
    return hex(std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes));
}

bool isId(std::string_view text)
{
    if (text.size() != kIdLength)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

std::optional<RecordKind> recordKindOf(std::int64_t number)
{
    if (isCanonicalZipKind(number))
        number -= kCanonicalZipKindFlag;
    else if (number == static_cast<int>(RecordKind::Whole) + kCanonicalZipKindFlag)
        return std::nullopt;
    switch (number) {
    case static_cast<int>(RecordKind::Whole):
    case static_cast<int>(RecordKind::Delta):
    case static_cast<int>(RecordKind::Compressed):
        return static_cast<RecordKind>(number);
    default:
        return std::nullopt;
    }
}

bool isCanonicalZipKind(std::int64_t number)
{
    return number == static_cast<int>(RecordKind::Delta) + kCanonicalZipKindFlag
        || number == static_cast<int>(RecordKind::Compressed) + kCanonicalZipKindFlag;
}

std::int64_t recordKindNumber(RecordKind kind, bool canonicalZip)
{
    return static_cast<int>(kind) + (canonicalZip ? kCanonicalZipKindFlag : 0);
}

StoreLayout::StoreLayout(std::string location)
    : m_location(std::move(location))
{
}

std::string StoreLayout::defaultLocation()
{
    return xdgBaseFolder("XDG_DATA_HOME", ".local/share") + "/strataloom";
}

std::string StoreLayout::indexPath() const
{
    return m_location + "/" + kIndexName;
}

std::string StoreLayout::documentsFolder() const
{
    return m_location + "/" + kDocumentsName;
}

std::string StoreLayout::temporaryFolder() const
{
    return m_location + "/" + kTemporaryName;
}

std::string StoreLayout::watcherLockPath() const
{
    return m_location + "/" + kWatcherLockName;
}

std::optional<std::string> StoreLayout::documentFolder(std::string_view documentId) const
{
    if (!isId(documentId))
        return std::nullopt;
    return documentsFolder() + "/" + std::string(documentId);
}

std::optional<std::string> StoreLayout::logPath(std::string_view documentId) const
{
    auto name = logName(documentId);
    if (!name)
        return std::nullopt;
    return documentsFolder() + "/" + *name;
}

std::optional<std::string> StoreLayout::logName(std::string_view documentId)
{
    if (!isId(documentId))
        return std::nullopt;
    return std::string(documentId) + std::string(kLogSuffix);
}

std::optional<std::string> StoreLayout::loggedDocument(std::string_view entryName)
{
    if (entryName.size() != kIdLength + kLogSuffix.size() || entryName.substr(kIdLength) != kLogSuffix
        || !isId(entryName.substr(0, kIdLength)))
        return std::nullopt;
    return std::string(entryName.substr(0, kIdLength));
}

std::set<std::string> StoreLayout::documentIds(const std::vector<std::string>& entryNames)
{
    std::set<std::string> ids;
    for (const std::string& name : entryNames) {
        if (isId(name))
            ids.insert(name);
        else if (auto id = loggedDocument(name))
            ids.insert(std::move(*id));
    }
    return ids;
}

int StoreLayout::openDocumentsFolder() const
{
    return open(documentsFolder().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

std::optional<std::string> StoreLayout::storedFilePath(std::string_view documentId, std::string_view file) const
{
    auto folder = documentFolder(documentId);
    if (!folder || !isId(file))
        return std::nullopt;
    return *folder + "/" + std::string(file);
}

int StoreLayout::openStoredFile(std::string_view documentId, std::string_view file) const
{
    if (!isId(documentId) || !isId(file)) {
        errno = EINVAL;
        return -1;
    }
    const auto openIn = [](int folder, const std::string& name, int flags) {
        const int fd = openat(folder, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
        if (folder != AT_FDCWD)
            close(folder);
        return fd;
    };
    int folder = openIn(AT_FDCWD, documentsFolder(), O_RDONLY | O_DIRECTORY);
    if (folder >= 0)
        folder = openIn(folder, std::string(documentId), O_RDONLY | O_DIRECTORY);
    return folder >= 0 ? openIn(folder, std::string(file), O_RDONLY | O_NONBLOCK) : -1;
}

int StoreLayout::openUnnamedTemporaryFile(std::string* error) const
{
    const std::string folder = temporaryFolder();
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        fail(error, errnoMessage("cannot create the folder " + folder));
        return -1;
    }
    const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int file = folderFd < 0 ? -1 : openat(folderFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (file < 0)
        fail(error, errnoMessage("cannot create a temporary file in " + folder));
    if (folderFd >= 0)
        close(folderFd);
    return file;
}

} // namespace strataloom::store
