#include "FileDescriptor.h"
#include "RecordCodec.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

using namespace strataloom;
using namespace strataloom::store;

namespace {

// A record of `folder`/contents, against `folder`/base when `delta`, written
// into `folder`/`name`.
void writeRecord(const std::string& folder, const std::string& name, bool delta)
{
    UniqueFd contentsFd(open((folder + "/contents").c_str(), O_RDONLY | O_CLOEXEC));
    UniqueFd baseFd(open((folder + "/base").c_str(), O_RDONLY | O_CLOEXEC));
    UniqueFd recordFd(open((folder + "/" + name).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    const auto sizeOf = [](int fd) { return std::uint64_t(lseek(fd, 0, SEEK_END)); };
    const DeltaBase base{"0123456789abcdef0123456789abcdef", {baseFd.get(), sizeOf(baseFd.get()), {}}};
    std::string error;
    const auto record = encodeRecord({contentsFd.get(), sizeOf(contentsFd.get()), {}}, delta ? &base : nullptr,
                                     recordFd.get(), {}, &error);
    EXPECT_TRUE(record && record->length) << error;
}

std::string lines(int count, int changedEvery)
{
    std::string out;
    for (int i = 0; i < count; ++i)
        out += "line " + std::to_string(i % changedEvery == 0 ? i * 7 : i) + " of a document kept in a store\n";
    return out;
}

} // namespace

// The recipe of docs/STORE.md ("Record files"): the stock zstd restores both
// kinds by itself, skipping our header frame; a delta's contents may be larger
// than its base, which the tool's memory limit must allow.
TEST(RecordStockTool, RestoresBothKindsByTheDocumentedRecipe)
{
    const std::string folder = test::makeScratchFolder("records");
    const std::string base = lines(20000, 97);
    const std::string contents = lines(60000, 89);
    test::writeFile(folder + "/base", base);
    test::writeFile(folder + "/contents", contents);
    writeRecord(folder, "delta", true);
    writeRecord(folder, "compressed", false);
    const std::string quoted = "'" + folder + "/";
    ASSERT_EQ(std::system(
                  ("zstd -q -d --patch-from=" + quoted + "base' " + quoted + "delta' -o " + quoted + "from-delta'")
                      .c_str()),
              0);
    ASSERT_EQ(std::system(("zstd -q -d " + quoted + "compressed' -o " + quoted + "from-compressed'").c_str()), 0);
    EXPECT_EQ(test::readFile(folder + "/from-delta"), contents);
    EXPECT_EQ(test::readFile(folder + "/from-compressed"), contents);
}
