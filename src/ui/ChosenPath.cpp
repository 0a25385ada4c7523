#include "ChosenPath.h"

#include "ErrorMessage.h"

#include <QFile>

#include <memory>

#include <dirent.h>
#include <sys/stat.h>

namespace strataloom {

namespace {

bool exists(const std::string& path)
{
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

} // namespace

std::optional<std::string> existingPathOf(const QString& path, std::string* error)
{
    const std::string encoded = QFile::encodeName(path).toStdString();
    if (exists(encoded))
        return encoded;
    if (!path.startsWith(QLatin1Char('/'))) {
        fail(error, "cannot find " + encoded + ": it is not an absolute path");
        return std::nullopt;
    }
    std::string found;
    for (const QString& component : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        const std::string folder = found.empty() ? std::string("/") : found;
        std::string candidate = found + "/" + QFile::encodeName(component).toStdString();
        if (!exists(candidate)) {
            std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(folder.c_str()), ::closedir);
            if (!listing) {
                fail(error, errnoMessage("cannot list the folder " + folder));
                return std::nullopt;
            }
            int matches = 0;
            while (const dirent* entry = ::readdir(listing.get()))
                if (QFile::decodeName(entry->d_name) == component) {
                    candidate = found + "/" + entry->d_name;
                    ++matches;
                }
            if (matches != 1) {
                fail(error,
                     "cannot find " + encoded + ": "
                         + (matches == 0 ? "nothing in " + folder + " is named so"
                                         : "several items in " + folder + " show as " + component.toStdString()));
                return std::nullopt;
            }
        }
        found = std::move(candidate);
    }
    return found.empty() ? std::string("/") : found;
}

} // namespace strataloom
