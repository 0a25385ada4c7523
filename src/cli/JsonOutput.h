#pragma once

#include "FileVersion.h"

#include <string>
#include <string_view>
#include <vector>

namespace strataloom::cli {

// True when `bytes` is well-formed UTF-8: no stray or missing continuation
// bytes, overlong forms, surrogates or values past U+10FFFF.
bool isValidUtf8(std::string_view bytes);

// `bytes` as a JSON string literal. Each byte that does not begin a well-formed
// UTF-8 sequence becomes U+FFFD; quotes, backslashes and control characters are
// escaped.
std::string jsonString(std::string_view bytes);

// Standard base64 with padding.
std::string base64(std::string_view bytes);

// The versions as one JSON array, the saved versions in order and then the
// current one, one object per line with the fields of the tab-separated list:
// "index", "modificationDate", "creationDate", "size", "local" and "path"
// (null where a date or size is unknown). A path that is not valid UTF-8 also
// gets "pathBytes", the base64 of its exact bytes.
std::string versionsJson(const std::vector<FileVersion>& others, const FileVersion& current);

} // namespace strataloom::cli
