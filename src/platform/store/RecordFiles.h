#pragma once

#include "FileDescriptor.h"

#include <string>
#include <string_view>

// Record files as every writer of the store makes them (re-encoding,
// re-basing): a fresh name in a holder's folder, locked as an add's file is,
// so that prune leaves it alone until the index names it.
namespace strataloom::store {

// A new record file in `folder`, open for writing and locked; `name`
// receives its name, or is the name given when `keepName` (a name others
// already point at). Invalid, with `error` set, when it cannot be made.
UniqueFd createRecordFile(int folder, std::string& name, std::string* error = nullptr, bool keepName = false);

// Opens the holder's folder in the open documents/ (`documentsFd`). When it
// is missing (its records were all packed) and `create`, it is made first and
// its name made durable. Invalid, with errno and `error` set, otherwise.
UniqueFd openHolderFolder(int documentsFd, const std::string& holderId, bool create, std::string* error = nullptr);

// Writes all of `bytes` at the file's position, retrying short writes.
bool writeAll(int fd, std::string_view bytes);

} // namespace strataloom::store
