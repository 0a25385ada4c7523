#include "OfficeText.h"
#include "VersionText.h"
#include "ZipBuilder.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

namespace {

using strataloom::test::buildZip;
using strataloom::test::deflatedEntry;
using strataloom::test::storedEntry;

const std::string kOdtMime = "application/vnd.oasis.opendocument.text";

std::string odfContent(const std::string& body)
{
    return R"(<?xml version="1.0" encoding="UTF-8"?>)"
           R"(<office:document-content xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" )"
           R"(xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"><office:body><office:text>)"
         + body + "</office:text></office:body></office:document-content>";
}

std::string wordDocument(const std::string& body)
{
    return R"(<?xml version="1.0" encoding="UTF-8"?>)"
           R"(<w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main"><w:body>)"
         + body + "</w:body></w:document>";
}

TEST(OfficeTextTest, paragraphsBecomeLines)
{
    const struct {
        const char* what;
        std::string zip;
        std::optional<QByteArray> text;
    } cases[] = {
        {"OpenDocument text: headings, spans, spaces, tabs, breaks",
         buildZip(
             {storedEntry("mimetype", kOdtMime),
              deflatedEntry("content.xml", odfContent("<text:h>Title</text:h><text:p>One <text:span>two</text:span>"
                                                      "<text:s text:c=\"3\"/>three<text:tab/>four</text:p><text:p/>"
                                                      "<text:p>a<text:line-break/>b \xc3\xa9</text:p>"))}),
         QByteArray("Title\nOne two   three\tfour\n\na\nb \xc3\xa9\n")},
        {"Word: runs, tabs, deleted text left out",
         buildZip({deflatedEntry("[Content_Types].xml", "<Types/>"),
                   deflatedEntry("word/document.xml",
                                 wordDocument("<w:p><w:r><w:t>Hello</w:t></w:r><w:r><w:tab/><w:t "
                                              "xml:space=\"preserve\"> world</w:t></w:r><w:del><w:r><w:delText>"
                                              "gone</w:delText></w:r></w:del></w:p><w:p/>"))}),
         QByteArray("Hello\t world\n\n")},
        {"a spreadsheet is not shown as text",
         buildZip({storedEntry("mimetype", "application/vnd.oasis.opendocument.spreadsheet"),
                   deflatedEntry("content.xml", odfContent("<text:p>cell</text:p>"))}),
         std::nullopt},
        {"damaged XML", buildZip({deflatedEntry("word/document.xml", wordDocument("<w:p><w:t>cut"))}), std::nullopt},
        {"another archive", buildZip({deflatedEntry("readme.txt", "text")}), std::nullopt},
    };
    for (const auto& document : cases) {
        SCOPED_TRACE(document.what);
        EXPECT_EQ(strataloom::officeText(document.zip), document.text);
        // What the browser reads: the document's text, or nothing to preview.
        const std::string path = strataloom::test::makeScratchFolder() + "/document";
        strataloom::test::writeFile(path, document.zip);
        QFile file(QString::fromStdString(path));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        bool truncated = true;
        EXPECT_EQ(strataloom::readText(file, truncated), document.text);
        if (document.text) {
            EXPECT_FALSE(truncated);
        }
    }
}

} // namespace
