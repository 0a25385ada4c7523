#include "UrlConversion.h"

#include <sys/stat.h>

namespace strataloom {

namespace {

bool isLocalHost(const QString& host)
{
    return host.isEmpty() || host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0;
}

bool isExistingDirectory(const std::string& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

} // namespace

std::optional<FileUrl> fileUrlFromQUrl(const QUrl& url)
{
    if (!url.isValid() || url.scheme().compare(QLatin1String("file"), Qt::CaseInsensitive) != 0
        || !isLocalHost(url.host()))
        return std::nullopt;
    // The fully encoded path is plain ASCII; decoding it ourselves gives the
    // name's bytes as sent, whether or not they are valid UTF-8.
    const QByteArray bytes = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    // A NUL cannot stand in a file name; such a URL names nothing on disk.
    if (!bytes.startsWith('/') || bytes.contains('\0'))
        return std::nullopt;
    std::string path = bytes.toStdString();
    if (isExistingDirectory(path))
        return FileUrl::directoryFromPath(std::move(path));
    return FileUrl::fromPath(std::move(path));
}

std::vector<FileUrl> fileUrlsFromQUrls(const QList<QUrl>& urls)
{
    std::vector<FileUrl> result;
    result.reserve(urls.size());
    for (const QUrl& url : urls) {
        if (std::optional<FileUrl> fileUrl = fileUrlFromQUrl(url))
            result.push_back(std::move(*fileUrl));
    }
    return result;
}

QUrl qurlFromFileUrl(const FileUrl& url)
{
    QByteArray path = QByteArray::fromStdString(url.path());
    if (url.hasDirectoryPath() && !path.endsWith('/'))
        path.append('/');
    QUrl result;
    result.setScheme(QStringLiteral("file"));
    result.setPath(QString::fromLatin1(path.toPercentEncoding("/")), QUrl::TolerantMode);
    return result;
}

} // namespace strataloom
