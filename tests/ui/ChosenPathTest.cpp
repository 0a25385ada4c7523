#include "ChosenPath.h"
#include "support/TestEnvironment.h"

#include <QFile>

#include <gtest/gtest.h>

#include <filesystem>

using namespace strataloom;
using namespace strataloom::test;

// Names as a chooser returns them: decoded as text, with bytes that are not
// UTF-8 shown as replacement characters.
TEST(ChosenPath, FindsTheBytesOfNamesAChooserShowedAsText)
{
    const std::string root = makeScratchFolder("chosen");
    const std::string folder = root + "/d\xff";
    std::filesystem::create_directory(folder);
    writeFile(folder + "/caf\xe9.txt", "");
    writeFile(folder + "/plain.txt", "");
    const auto shown = [](const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); };

    EXPECT_EQ(existingPathOf(shown(folder + "/plain.txt")), folder + "/plain.txt");
    EXPECT_EQ(existingPathOf(shown(folder + "/caf\xe9.txt")), folder + "/caf\xe9.txt");
    EXPECT_EQ(existingPathOf(shown(folder)), folder);

    // Two names that show alike cannot be told apart: neither is taken.
    writeFile(folder + "/caf\xe8.txt", "");
    std::string error;
    EXPECT_FALSE(existingPathOf(shown(folder + "/caf\xe9.txt"), &error));
    EXPECT_NE(error.find("several items"), std::string::npos) << error;
    EXPECT_FALSE(existingPathOf(shown(folder + "/missing.txt"), &error));
    EXPECT_NE(error.find("cannot find"), std::string::npos) << error;
}
