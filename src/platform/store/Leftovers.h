#pragma once

#include "StoreLayout.h"

#include <chrono>

#include <sys/stat.h>

// How the store tells what an add that died left behind from what an add in
// progress is writing. An add holds an flock on the file it writes from the
// moment it creates it until its index row is committed; docs/STORE.md gives
// the rules that make clean-up safe beside adds.
namespace strataloom::store {

// Whether the entry's status changed less than `age` ago.
bool changedWithin(const struct stat& status, std::chrono::seconds age);

// Takes the writer's lock on an open file without waiting: shared to look,
// exclusive to remove. False while a live add holds it.
bool lockUnlessWritten(int fd, bool exclusive);

// Removes temporary files older than kLeftoverAge that no live add holds.
void removeDeadTemporaryFiles(const StoreLayout& layout);

} // namespace strataloom::store
