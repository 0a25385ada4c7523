#pragma once

#include "StoreIndex.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Forgetting a document whose records other documents still need: those
// records change holder before it goes.
namespace strataloom::store {

// Gives every record the document `documentRowId` holds that another
// document's version names, or that a record another document holds is a
// delta against (and so on down their bases), to that other document. For
// each: its stored file is linked into the new holder's folder and its `R`
// record written to the new holder's log, both made durable, then the index
// switches its holder (with the fingerprint the link gave the file) in one
// transaction; the old name goes with the forgotten document's folder. A crash
// part-way leaves the record where it was, held as before, with at most a link
// no record names, which prune removes. `handedOver`, when given, gets the
// names of the records whose file is now also in the new holder's folder.
bool handOverRecords(StoreIndex& index, std::int64_t documentRowId, std::vector<std::string>* handedOver = nullptr,
                     std::string* error = nullptr);

// Called by handOverRecords() between the new holder's log and the index's
// switch; a test kills the process there.
void setHandOverPauseForTests(std::function<void()> pause);

} // namespace strataloom::store
