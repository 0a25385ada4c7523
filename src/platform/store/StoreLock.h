#pragma once

#include "FileDescriptor.h"
#include "StoreIndex.h"
#include "StoreLayout.h"

#include <chrono>
#include <optional>
#include <string>

// Taking turns over the whole store. Whoever writes versions (an add, prune,
// forget) holds the store shared while it works; maintenance that replaces the
// index holds it exclusively, so no writer is part-way through a batch while
// the index it would record into is swapped. It is an flock on the store's
// folder: it dies with its process and needs no file of its own.
namespace strataloom::store {

class StoreLock {
public:
    enum class Mode { Shared, Exclusive };

    // How long an add waits for maintenance to give the store back, and how
    // long maintenance waits for adds to finish.
    static constexpr std::chrono::seconds kWriterWait{5 * 60};
    static constexpr std::chrono::seconds kMaintenanceWait{30};

    // Takes the lock, waiting at most `wait`; empty, with a message naming
    // what holds the store, when it stays taken or the store's folder cannot
    // be opened.
    static std::optional<StoreLock> acquire(const StoreLayout& layout, Mode mode, std::chrono::milliseconds wait,
                                            std::string* error = nullptr);

    StoreLock(StoreLock&&) = default;
    StoreLock& operator=(StoreLock&&) = default;

private:
    explicit StoreLock(UniqueFd folder)
        : m_folder(std::move(folder))
    {
    }

    UniqueFd m_folder;
};

// Takes the store shared for a writer, then opens the index for writing under
// the lock: a repair renames the index away and its new one into place, so
// the one open before may have been replaced meanwhile. The store's folder,
// which the lock is taken on, is made first if there is none.
std::optional<StoreLock> holdStoreForWriting(StoreIndex& index, std::string* error = nullptr);

// Whether a watcher runs on this store now: it holds watcherLockPath() for its
// whole life. Asked without taking the lock from it.
bool watcherRuns(const StoreLayout& layout);

} // namespace strataloom::store
