#include "platform/UrlConversion.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

using strataloom::FileUrl;
using strataloom::fileUrlFromQUrl;

TEST(UrlConversion, AFolderUrlAsFileManagersSendItGetsItsTrailingSlash)
{
    const std::string folder = strataloom::test::makeScratchFolder("Report versions");
    strataloom::test::writeFile(folder + "/Report00000.txt", "text");
    const QUrl sent = QUrl::fromLocalFile(QString::fromStdString(folder));
    ASSERT_FALSE(sent.path().endsWith('/'));

    const auto url = fileUrlFromQUrl(sent);
    ASSERT_TRUE(url);
    EXPECT_TRUE(url->hasDirectoryPath());
    EXPECT_EQ(url->path(), folder);
    const auto file = fileUrlFromQUrl(QUrl::fromLocalFile(QString::fromStdString(folder + "/Report00000.txt")));
    ASSERT_TRUE(file);
    EXPECT_FALSE(file->hasDirectoryPath());
}

TEST(UrlConversion, NamesThatAreNotUtf8KeepTheirBytesBothWays)
{
    const std::string path = "/srv/caf\xe9 100% #1?.txt";
    const QUrl url = strataloom::qurlFromFileUrl(FileUrl::fromPath(path));
    EXPECT_TRUE(url.toEncoded().startsWith("file:///srv/caf%E9%20100%25%20%231%3F.txt"));
    const auto back = fileUrlFromQUrl(QUrl::fromEncoded(url.toEncoded()));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->path(), path);

    const QUrl folder = strataloom::qurlFromFileUrl(FileUrl::directoryFromPath("/srv/Report versions"));
    EXPECT_EQ(folder.toEncoded(), QByteArray("file:///srv/Report%20versions/"));
}

TEST(UrlConversion, OnlyLocalFileUrlsAreKeptInOrder)
{
    QList<QUrl> urls;
    for (const char* text : {"https://example.org/x", "file:///srv/a.txt", "mailto:someone@example.org",
                             "file://otherhost/srv/remote.txt", "file://localhost/srv/b.txt", "FILE:///srv/c.txt",
                             "file:///srv/nul%00byte", "relative/name.txt", "", "smb://server/share/d.txt"})
        urls << QUrl::fromEncoded(QByteArray(text));
    const std::vector<FileUrl> kept = strataloom::fileUrlsFromQUrls(urls);
    const std::vector<FileUrl> expected = {FileUrl::fromPath("/srv/a.txt"), FileUrl::fromPath("/srv/b.txt"),
                                           FileUrl::fromPath("/srv/c.txt")};
    EXPECT_EQ(kept, expected);
}
