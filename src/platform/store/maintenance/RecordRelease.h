#pragma once

#include "StoreIndex.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Letting go of records no version needs any more, never of one that a
// version or another record still names.
namespace strataloom::store {

// Removes the records among `candidates` that no version names any more, then
// their bases left unnamed in turn. A record that another one is a delta
// against goes only once that one is re-based (reBase(): against the nearest
// of the removed record's bases that a version still names, or compressed or
// whole when there is none), each re-base crash-safe on its own. A record's
// row is deleted first, confirmed inside that transaction, then its file. A
// record named again meanwhile stays, and so does one whose dependent cannot
// be re-based (the first such failure is returned once the rest is done).
// True once every record that could go is gone and its folder durable; a
// crash part-way leaves at worst records no one names, which prune removes.
bool releaseRecords(StoreIndex& index, std::vector<std::int64_t> candidates, std::string* error = nullptr);

// The records of the index that no version names: what a removal killed
// part-way left behind (some may still be bases of others, which releasing
// them re-bases). Empty, with the reason in `error`, when the index cannot be read.
std::optional<std::vector<std::int64_t>> unnamedRecords(StoreIndex& index, std::string* error = nullptr);

// Called by releaseRecords() after each step of its own (a re-base done, a row
// deleted, a file unlinked), with the step's name; a test kills the process
// there to meet a removal part-way.
void setReleaseStepForTests(std::function<void(const char*)> step);

} // namespace strataloom::store
