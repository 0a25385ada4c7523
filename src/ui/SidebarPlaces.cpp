#include "SidebarPlaces.h"

#include "Names.h"
#include "UrlConversion.h"

#include <QFile>
#include <QStandardPaths>

#include <filesystem>

namespace strataloom {

namespace {

// The sidebar lists places by text: a path that is not UTF-8 could only be
// shown mangled and would open somewhere else, so it is left out.
std::optional<QUrl> folderPlace(const std::string& path)
{
    std::error_code error;
    if (path.empty() || !isValidUtf8(path) || !std::filesystem::is_directory(path, error))
        return std::nullopt;
    return QUrl::fromLocalFile(QString::fromStdString(path));
}

} // namespace

std::vector<std::string> bookmarkedPaths(const QByteArray& contents)
{
    std::vector<std::string> paths;
    for (const QByteArray& line : contents.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        const qsizetype space = trimmed.indexOf(' ');
        const QByteArray url = space < 0 ? trimmed : trimmed.left(space);
        if (url.isEmpty())
            continue;
        if (const std::optional<FileUrl> file = fileUrlFromQUrl(QUrl::fromEncoded(url, QUrl::StrictMode)))
            paths.push_back(file->path());
    }
    return paths;
}

QList<QUrl> sidebarPlaces()
{
    QList<QUrl> places{QUrl(QStringLiteral("file:"))};
    const auto add = [&places](const std::string& path) {
        const std::optional<QUrl> place = folderPlace(path);
        if (place && !places.contains(*place))
            places.append(*place);
    };
    for (QStandardPaths::StandardLocation location :
         {QStandardPaths::HomeLocation, QStandardPaths::DesktopLocation, QStandardPaths::DocumentsLocation,
          QStandardPaths::DownloadLocation, QStandardPaths::MusicLocation, QStandardPaths::PicturesLocation,
          QStandardPaths::MoviesLocation})
        add(QFile::encodeName(QStandardPaths::writableLocation(location)).toStdString());

    QFile bookmarks(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                    + QStringLiteral("/gtk-3.0/bookmarks"));
    if (bookmarks.open(QIODevice::ReadOnly))
        for (const std::string& path : bookmarkedPaths(bookmarks.readAll()))
            add(path);
    return places;
}

} // namespace strataloom
