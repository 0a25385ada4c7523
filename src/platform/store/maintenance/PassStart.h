#pragma once

#include "StoreIndex.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace strataloom::store {

enum class PassStart {
    Run,
    Nothing, // no store, or none of the documents asked for is in it
    Failed,
};

// Opens the index for a pass over every document (`documentPaths` null) or
// over the documents at `documentPaths`, whose rows go to `chosen`, and when
// there is something to pass over begins a reading transaction for the
// pass's snapshot (the caller commits it).
PassStart startPass(StoreIndex& index, bool writable, const std::vector<std::string>* documentPaths,
                    std::set<std::int64_t>& chosen, std::string* error = nullptr);

} // namespace strataloom::store
