#pragma once

#include "FileVersion.h"
#include "StoreMaintenance.h"

#include <string>
#include <vector>

namespace strataloom::cli {

// The versions as one JSON array, the saved versions in order and then the
// current one, one object per line with the fields of the tab-separated list:
// "index", "modificationDate", "creationDate", "size", "local" and "path"
// (null where a date or size is unknown). A path that is not valid UTF-8 is
// shown with each byte that does not begin a valid sequence replaced by U+FFFD,
// and also gets "pathBytes", the base64 of its exact bytes.
std::string versionsJson(const std::vector<FileVersion>& others, const FileVersion& current);

// The documents as one JSON array, one object per line with the fields of the
// tab-separated list: "id", "path" (null when the store knows none), "versions",
// "bytes" and "found"; a path that is not valid UTF-8 is shown and given
// "pathBytes" as above.
std::string documentsJson(const std::vector<StoredDocument>& documents);

} // namespace strataloom::cli
