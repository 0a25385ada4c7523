#pragma once

#include <string>

namespace strataloom {

// Copies the item at `source` (a file, a symlink, or a folder recursively) to
// `destination`, keeping permissions and both dates as `cp -a` does. Never
// replaces an existing destination and never writes through a link standing
// there: that is a failure and the existing item is untouched. File contents
// are copied in constant memory, through reflink or copy_file_range where the
// file system offers them. On failure `error` receives what failed and why.
bool copyItem(const std::string& source, const std::string& destination, std::string* error = nullptr);

} // namespace strataloom
