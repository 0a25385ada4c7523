// Telling whether a file still holds a document's newest version.
#include "NewestContents.h"
#include "ContentHash.h"
#include "DocumentIdentity.h"
#include "ErrorMessage.h"
#include "Nanoseconds.h"

#include <chrono>

#include <sys/stat.h>
#include <unistd.h>

namespace strataloom::store {

namespace {

// Wider than the coarsest time stamps a Linux file system keeps (FAT's two
// seconds) and a clock tick.
constexpr std::int64_t kTimeStampSlackNs = 3'000'000'000;

constexpr const char* kSelectNewest = "SELECT size, checksum, seen_modification_ns, seen_change_time_ns, position "
                                      "FROM versions WHERE document = ? ORDER BY position DESC LIMIT 1";

} // namespace

SeenState seenStateOf(const struct stat& status)
{
    return {static_cast<std::int64_t>(status.st_dev), static_cast<std::int64_t>(status.st_ino),
            nanoseconds(status.st_mtim), nanoseconds(status.st_ctim)};
}

bool stillAsSeen(const struct stat& status, const NewestContents& newest)
{
    return static_cast<std::uint64_t>(status.st_size) == newest.size && newest.seen
        && *newest.seen == seenStateOf(status);
}

std::optional<bool> holdsContents(int fd, const struct stat& status, const NewestContents& newest, std::string* error)
{
    if (static_cast<std::uint64_t>(status.st_size) != newest.size)
        return false;
    if (stillAsSeen(status, newest))
        return true;
    std::optional<std::string> checksum;
    if (lseek(fd, 0, SEEK_SET) == 0)
        checksum = checksumOfFile(fd);
    if (!checksum || lseek(fd, 0, SEEK_SET) != 0) {
        fail(error, errnoMessage("cannot read " + pathOfDescriptor(fd)));
        return std::nullopt;
    }
    return *checksum == newest.checksum;
}

std::optional<SeenState> recordableState(const struct stat& status)
{
    const std::int64_t now =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    const SeenState state = seenStateOf(status);
    if (state.changeTimeNs > now - kTimeStampSlackNs)
        return std::nullopt;
    return state;
}

std::optional<SeenState> seenColumns(SqliteStatement& row, int column, const Document& document)
{
    if (row.isNull(column) || row.isNull(column + 1))
        return std::nullopt;
    return SeenState{document.device, document.inode, row.integer(column), row.integer(column + 1)};
}

bool readNewest(StoreIndex& index, const Document& document, std::optional<NewestContents>& newest,
                std::int64_t& position, std::string* error)
{
    newest.reset();
    auto query = index.statement(kSelectNewest);
    if (!query.valid())
        return fail(error, "cannot read the version index: " + index.database().lastError());
    query->bind(1, document.rowId);
    const int result = query->step();
    if (result == SQLITE_DONE)
        return true;
    if (result != SQLITE_ROW)
        return fail(error, "cannot read the version index: " + index.database().lastError());
    newest =
        NewestContents{static_cast<std::uint64_t>(query->integer(0)), query->blob(1), seenColumns(*query, 2, document)};
    position = query->integer(4);
    return true;
}

} // namespace strataloom::store
