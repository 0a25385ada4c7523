#pragma once

#include "FileVersion.h"
#include "FileVersionStore.h"
#include "StoreMaintenance.h"
#include "Thinning.h"

#include <string>
#include <vector>

namespace strataloom::cli {

// The versions as one JSON array, the saved versions in order and then the
// current one, one object per line with the fields of the tab-separated list:
// "index", "modificationDate", "creationDate", "size", "local", "path",
// "automatic", "pinned", and "id" (all 32 digits) and "checksum" (XXH3-128 of
// the contents, 32 hex digits, for --expect-checksum) and "storedBytes" (what
// the version adds to the bytes its document's records take on disk: its
// record's, counted at the first version naming a record the document holds,
// 0 otherwise); null where a date or size is unknown, and the last five for the
// current version. A path that is not valid UTF-8 is
// shown with each byte that does not begin a valid sequence replaced by U+FFFD,
// and also gets "pathBytes", the base64 of its exact bytes.
std::string versionsJson(const std::vector<FileVersion>& others, const FileVersion& current);

// The earlier histories of a place as one JSON array, one object per line,
// the one replaced last first: "id", "path" (where it stood; "pathBytes" as
// above), "replacedBy" (the id of the document that took its place),
// "replaced" and "versions", its versions as versionsJson() gives them.
std::string earlierHistoriesJson(const std::vector<EarlierHistory>& histories);

// The documents as one JSON array, one object per line with the fields of the
// tab-separated list: "id", "path" (null when the store knows none), "versions",
// "bytes", "storedBytes", "found" and "replacedBy" (null unless another document took its
// place, which "path" then names); a path that is not valid UTF-8 is shown and given
// "pathBytes" as above.
std::string documentsJson(const std::vector<StoredDocument>& documents);

// What thinning decided, as one JSON object: "dryRun", "removed" and
// "bytesFreed", and "versions", one object per line with "document" (its
// id), "path" (null when unknown; "pathBytes" as above), "index", "taken",
// "size", "rule" and "removed".
std::string thinningJson(const ThinningResult& result, bool dryRun);

} // namespace strataloom::cli
