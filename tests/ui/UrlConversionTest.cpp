#include "platform/UrlConversion.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <string>

using strataloom::FileUrl;
using strataloom::fileUrlFromQUrl;
using strataloom::fileUrlsFromQUrls;
using strataloom::qurlFromFileUrl;

namespace {

QUrl encoded(const char* text)
{
    return QUrl::fromEncoded(QByteArray(text), QUrl::StrictMode);
}

} // namespace

TEST(UrlConversion, FolderUrlAsFileManagersSendItGetsItsTrailingSlash)
{
    const std::string folder = strataloom::test::makeScratchFolder("Report versions");
    const QUrl sent = QUrl::fromLocalFile(QString::fromStdString(folder));
    ASSERT_FALSE(sent.path().endsWith('/'));

    const auto url = fileUrlFromQUrl(sent);
    ASSERT_TRUE(url);
    EXPECT_TRUE(url->hasDirectoryPath());
    EXPECT_EQ(url->path(), folder);
}

TEST(UrlConversion, FilesAndMissingItemsStayFileUrls)
{
    const std::string folder = strataloom::test::makeScratchFolder();
    strataloom::test::writeFile(folder + "/Report.pages", "text");
    for (const std::string& path : {folder + "/Report.pages", folder + "/gone"}) {
        const auto url = fileUrlFromQUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
        ASSERT_TRUE(url) << path;
        EXPECT_FALSE(url->hasDirectoryPath()) << path;
        EXPECT_EQ(url->path(), path);
    }
}

TEST(UrlConversion, NamesThatAreNotUtf8KeepTheirBytes)
{
    const std::string folder = strataloom::test::makeScratchFolder();
    const std::string path = folder + "/caf\xe9 100% #1?.txt";
    strataloom::test::writeFile(path, "latin-1 name");

    const QUrl url = qurlFromFileUrl(FileUrl::fromPath(path));
    EXPECT_EQ(url.scheme(), QStringLiteral("file"));
    EXPECT_TRUE(url.toEncoded().startsWith("file:///"));
    // As it travels in a text/uri-list.
    const auto back = fileUrlFromQUrl(QUrl::fromEncoded(url.toEncoded()));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->path(), path);
    EXPECT_FALSE(back->hasDirectoryPath());

    const auto fromList = fileUrlFromQUrl(encoded("file:///tmp/%FF%FE/na%C3%AFve"));
    ASSERT_TRUE(fromList);
    EXPECT_EQ(fromList->path(), "/tmp/\xff\xfe/na\xc3\xafve");
}

TEST(UrlConversion, DirectoryUrlsKeepTheirSlashOnTheWayOut)
{
    const QUrl url = qurlFromFileUrl(FileUrl::directoryFromPath("/srv/Report versions"));
    EXPECT_EQ(url.toEncoded(), QByteArray("file:///srv/Report%20versions/"));
    const auto back = fileUrlFromQUrl(url);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->hasDirectoryPath());
}

TEST(UrlConversion, OnlyLocalFileUrlsAreKeptInOrder)
{
    const QList<QUrl> urls = {
        encoded("https://example.org/x"),
        encoded("file:///srv/a.txt"),
        encoded("mailto:someone@example.org"),
        encoded("file://otherhost/srv/remote.txt"),
        encoded("file://localhost/srv/b.txt"),
        encoded("FILE:///srv/c.txt"),
        encoded("file:///srv/nul%00byte"),
        QUrl(QStringLiteral("relative/name.txt")),
        QUrl(),
        encoded("smb://server/share/d.txt"),
    };
    const std::vector<FileUrl> kept = fileUrlsFromQUrls(urls);
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[0].path(), "/srv/a.txt");
    EXPECT_EQ(kept[1].path(), "/srv/b.txt");
    EXPECT_EQ(kept[2].path(), "/srv/c.txt");
}
