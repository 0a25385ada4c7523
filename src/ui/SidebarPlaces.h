#pragma once

#include <QByteArray>
#include <QList>
#include <QUrl>

#include <string>
#include <vector>

namespace strataloom {

// The places a save panel's sidebar offers: the computer, the user's home and
// standard folders (Desktop, Documents, Downloads, Music, Pictures, Videos)
// that exist, then the folders bookmarked for GTK file choosers in
// $XDG_CONFIG_HOME/gtk-3.0/bookmarks that exist; each place once.
QList<QUrl> sidebarPlaces();

// The local paths a GTK bookmarks file names, in its order, as exact bytes.
// Each line is a URL, optionally followed by a space and a label; lines that
// are not local file URLs are skipped.
std::vector<std::string> bookmarkedPaths(const QByteArray& contents);

} // namespace strataloom
