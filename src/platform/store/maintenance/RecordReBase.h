#pragma once

#include "StoreIndex.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// Re-basing: a record made against a record that is to go is made again
// without it. Re-encoding (ReEncoding) turns whole records into deltas; this
// takes a delta or compressed record to another base, in the same crash-safe
// order.
namespace strataloom::store {

// Re-encodes the record `recordId` as a delta against `base` (when given, and
// when a delta pays and keeps every chain within kMaxChain), else compressed
// where that pays, else whole: the new record durable (its file and folder,
// or packed into its log record), its `R` and the switch `X` appended to its
// holder's log durably, then in one transaction the new row and every version
// and record that named the old one switched to it, only while the old one is
// unchanged; only then the old file is unlinked. Killed at any step, every
// version reads as before. Holds the store shared and the holder's log while
// it works. False, with `error` saying why, when it did not switch.
bool reBase(StoreIndex& index, std::int64_t recordId, std::optional<std::int64_t> base, std::string* error = nullptr);

// Tests only: runs after each step of a re-base ("written", "logged",
// "switched", "unlinked"). Empty to remove it.
void setReBaseHookForTests(std::function<void(const char*)> hook);

} // namespace strataloom::store
