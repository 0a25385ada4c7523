// The store-wide lock between writers and maintenance that replaces the index.
#include "StoreLock.h"
#include "ErrorMessage.h"

#include <cerrno>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace strataloom::store {

namespace {

// Short enough that a waiter notices the store given back at once, long enough
// to cost nothing while it waits.
constexpr auto kPollInterval = std::chrono::milliseconds(10);

std::string heldMessage(const StoreLayout& layout, StoreLock::Mode mode)
{
    if (mode == StoreLock::Mode::Shared)
        return "the version store " + layout.location()
             + " is being repaired ('strataloom-cli check --repair'); try again once it has finished";
    return "another program is writing to the version store " + layout.location()
         + " (a save-version, unarchive, prune, forget or the version window); try again once it has finished";
}

} // namespace

std::optional<StoreLock> StoreLock::acquire(const StoreLayout& layout, Mode mode, std::chrono::milliseconds wait,
                                            std::string* error)
{
    // Followed if it is a link: the user may keep the store on another disk.
    UniqueFd folder(open(layout.location().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) {
        fail(error, errnoMessage("cannot open the version store " + layout.location()));
        return std::nullopt;
    }
    const int operation = (mode == Mode::Shared ? LOCK_SH : LOCK_EX) | LOCK_NB;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (flock(folder.get(), operation) != 0) {
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK) {
            fail(error, errnoMessage("cannot lock the version store " + layout.location()));
            return std::nullopt;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            fail(error, heldMessage(layout, mode));
            return std::nullopt;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    return StoreLock(std::move(folder));
}

std::optional<StoreLock> holdStoreForWriting(StoreIndex& index, std::string* error)
{
    const std::string& location = index.layout().location();
    struct stat store {};
    if (lstat(location.c_str(), &store) != 0 && !index.openForWriting(error))
        return std::nullopt;
    auto lock = StoreLock::acquire(index.layout(), StoreLock::Mode::Shared, StoreLock::kWriterWait, error);
    if (!lock || !index.openForWriting(error))
        return std::nullopt;
    return lock;
}

bool watcherRuns(const StoreLayout& layout)
{
    const UniqueFd lock(open(layout.watcherLockPath().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!lock.valid())
        return false;
    if (flock(lock.get(), LOCK_SH | LOCK_NB) != 0)
        return errno == EWOULDBLOCK;
    flock(lock.get(), LOCK_UN);
    return false;
}

} // namespace strataloom::store
