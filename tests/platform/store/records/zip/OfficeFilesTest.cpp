#include "CanonicalForm.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>

namespace {

using namespace strataloom::store::zip;

// A presentation as flat XML: the office suite imports it and writes the
// zipped formats from it.
const char* const kSlides = R"(<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
 xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0"
 xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"
 xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0"
 office:version="1.3" office:mimetype="application/vnd.oasis.opendocument.presentation">
 <office:body><office:presentation>
  <draw:page draw:name="one"><draw:frame svg:x="2cm" svg:y="2cm" svg:width="20cm" svg:height="5cm">
   <draw:text-box><text:p>Slides of a history</text:p></draw:text-box></draw:frame></draw:page>
 </office:presentation></office:body>
</office:document>
)";

bool officeSuiteInstalled()
{
    return std::system("command -v soffice >/dev/null 2>&1") == 0;
}

// Converts `source` into each format in `folder`; false when the suite fails.
bool convert(const std::string& folder, const std::string& source, const std::vector<std::string>& formats)
{
    for (const std::string& format : formats) {
        const std::string command = "cd '" + folder + "' && soffice --headless -env:UserInstallation=file://" + folder
                                  + "/profile --convert-to " + format + " '" + source + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0)
            return false;
    }
    return true;
}

// Every document the suite writes rebuilds byte for byte, every deflated
// member of it (small ones in one stream, large ones in the suite's blocks).
TEST(OfficeFilesTest, documentsTheOfficeSuiteWritesRebuildByteForByte)
{
    if (!officeSuiteInstalled())
        GTEST_SKIP() << "soffice is not installed (Debian: libreoffice-writer-nogui, -calc-nogui, -impress-nogui)";
    const std::string folder = strataloom::test::makeScratchFolder("office");
    std::mt19937 random(3);
    std::string text;
    for (int line = 0; line < 400; ++line)
        text += "Line " + std::to_string(line) + " of a report, value " + std::to_string(random() % 100000) + "\n";
    std::string table;
    for (int row = 0; row < 5000; ++row) {
        for (int column = 0; column < 8; ++column)
            table += std::to_string(random() % 100000) + (column < 7 ? "," : "\n");
    }
    strataloom::test::writeFile(folder + "/text.txt", text);
    strataloom::test::writeFile(folder + "/table.csv", table);
    strataloom::test::writeFile(folder + "/slides.fodp", kSlides);
    ASSERT_TRUE(convert(folder, "text.txt", {"odt", "docx"}));
    ASSERT_TRUE(convert(folder, "table.csv", {"ods", "xlsx"}));
    ASSERT_TRUE(convert(folder, "slides.fodp", {"odp", "pptx"}));

    bool sawBlocks = false;
    for (const char* name : {"text.odt", "text.docx", "table.ods", "table.xlsx", "slides.odp", "slides.pptx"}) {
        SCOPED_TRACE(name);
        const std::string zip = strataloom::test::readFile(folder + "/" + name);
        std::string error;
        std::vector<MemberOutcome> outcomes;
        const auto form = canonicalForm(zip, &error, &outcomes);
        ASSERT_TRUE(form) << error;
        for (const MemberOutcome& outcome : outcomes) {
            EXPECT_TRUE(outcome.params) << outcome.name << " was not rebuilt";
            sawBlocks = sawBlocks || (outcome.params && outcome.params->blockSize == kOfficeBlockSize);
        }
        const auto rebuilt = rebuild(*form, &error);
        ASSERT_TRUE(rebuilt) << error;
        EXPECT_TRUE(*rebuilt == zip);
    }
    EXPECT_TRUE(sawBlocks) << "the spreadsheet's large sheet was expected in the suite's blocks";
}

} // namespace
