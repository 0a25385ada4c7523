#pragma once

#include <string>

namespace strataloom::test {

// Points XDG_DATA_HOME, XDG_CONFIG_HOME, XDG_STATE_HOME and HOME at a fresh
// temporary folder so that a test never touches the real home folder; returns
// that folder. The folder is removed when the process ends.
const std::string& isolateEnvironment();

// A fresh, empty scratch folder inside the isolated environment.
std::string makeScratchFolder(const std::string& label = "scratch");

// Writes `contents` to `path` (creating or truncating it).
void writeFile(const std::string& path, const std::string& contents);
// The whole contents of `path`; throws when it cannot be read.
std::string readFile(const std::string& path);

} // namespace strataloom::test

// The main() of a QtTest case class, run inside an isolated environment.
#define STRATALOOM_QTEST_MAIN(TestClass)                                                                               \
    int main(int argc, char** argv)                                                                                    \
    {                                                                                                                  \
        strataloom::test::isolateEnvironment();                                                                        \
        QApplication app(argc, argv);                                                                                  \
        TestClass test;                                                                                                \
        return QTest::qExec(&test, argc, argv);                                                                        \
    }
