#pragma once

#include "FileUrl.h"

#include <QList>
#include <QUrl>

#include <optional>

#include <vector>

namespace strataloom {

// Reads dropped URLs in order: keeps local file URLs, skips every other kind.
// A URL that names an existing directory is given its trailing "/", since file
// managers send folder URLs without it. Paths keep their exact bytes.
std::vector<FileUrl> fileUrlsFromQUrls(const QList<QUrl>& urls);

// The file URL of `url`, or none when it is not a local file URL.
std::optional<FileUrl> fileUrlFromQUrl(const QUrl& url);

// A file:// QUrl for `url` whose path is the exact bytes, percent-encoded.
QUrl qurlFromFileUrl(const FileUrl& url);

} // namespace strataloom
