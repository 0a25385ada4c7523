#include "TestEnvironment.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <unistd.h>

namespace strataloom::test {

namespace {

struct TemporaryRoot {
    std::string path;
    TemporaryRoot()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "strataloom-test-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("cannot create a temporary folder");
        path = pattern;
        for (const char* sub : {"data", "config", "state", "home"})
            std::filesystem::create_directory(path + "/" + sub);
        setenv("XDG_DATA_HOME", (path + "/data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (path + "/config").c_str(), 1);
        setenv("XDG_STATE_HOME", (path + "/state").c_str(), 1);
        setenv("HOME", (path + "/home").c_str(), 1);
    }
    ~TemporaryRoot()
    {
        std::error_code ignored;
        std::filesystem::permissions(path, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path, ignored);
    }
};

} // namespace

const std::string& isolateEnvironment()
{
    static TemporaryRoot root;
    return root.path;
}

std::string makeScratchFolder(const std::string& label)
{
    static int counter = 0;
    const std::string path = isolateEnvironment() + "/" + label + "-" + std::to_string(++counter);
    std::filesystem::create_directories(path);
    return path;
}

void writeFile(const std::string& path, const std::string& contents)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace strataloom::test
