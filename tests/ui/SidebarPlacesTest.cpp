#include "SidebarPlaces.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QStandardPaths>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

using namespace strataloom;
using namespace strataloom::test;

namespace {

QUrl place(const std::string& path)
{
    return QUrl::fromLocalFile(QString::fromStdString(path));
}

} // namespace

TEST(SidebarPlaces, BookmarkLinesGiveTheirLocalPathsAsBytesWithoutLabels)
{
    const QByteArray contents = "file:///srv/Plain\n"
                                "file:///srv/My%20Projects Projects in progress\n"
                                "\n"
                                "sftp://host/srv/remote Remote\n"
                                "file://elsewhere/srv/other-host\n"
                                "file:///srv/d%FF\r\n"
                                "not a url\n";
    EXPECT_EQ(bookmarkedPaths(contents), (std::vector<std::string>{"/srv/Plain", "/srv/My Projects", "/srv/d\xff"}));
}

TEST(SidebarPlaces, ComputerHomeExistingStandardFoldersThenExistingBookmarksEachOnce)
{
    const std::string home = QDir::homePath().toStdString();
    for (const char* folder : {"Desktop", "Documents", "Videos"})
        std::filesystem::create_directory(home + "/" + folder);
    const std::string projects = makeScratchFolder("My Projects");
    const std::string notUtf8 = makeScratchFolder("d\xff");
    writeFile(home + "/plain file", "");
    const std::string config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation).toStdString();
    std::filesystem::create_directories(config + "/gtk-3.0");
    const auto encoded = [](const std::string& path) {
        return "file://" + QByteArray::fromStdString(path).toPercentEncoding("/").toStdString();
    };
    std::string bookmarks;
    for (const std::string& line : {encoded(projects) + " Projects", encoded(home + "/Documents") + " Again",
                                    encoded(home + "/missing"), encoded(home + "/plain file"), encoded(notUtf8)})
        bookmarks += line + "\n";
    writeFile(config + "/gtk-3.0/bookmarks", bookmarks);
    EXPECT_EQ(sidebarPlaces(), (QList<QUrl>{QUrl(QStringLiteral("file:")), place(home), place(home + "/Desktop"),
                                            place(home + "/Documents"), place(home + "/Videos"), place(projects)}));
}
