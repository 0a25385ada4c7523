#pragma once

#include <string>

#include <sys/stat.h>

namespace strataloom {

class DurableBatch;

// Copies the item at `source` (a file, a symlink, or a folder recursively) to
// `destination`, keeping permissions and both dates as `cp -a` does. Never
// replaces an existing destination and never writes through a link standing
// there: that is a failure and the existing item is untouched. File contents
// are copied in constant memory, through reflink or copy_file_range where the
// file system offers them, and holes stay holes. On failure `error` receives what failed and why.
bool copyItem(const std::string& source, const std::string& destination, std::string* error = nullptr);

// Copies the regular file `source` to `name` in the open folder `folder`, whose
// path `folderPath` names it in messages, keeping what copyItem() keeps. The
// copy is written under a hidden temporary name beside `name` and handed to
// `batch`; only then does it take `name`, and never in place of an existing
// item. So a copy cut short leaves at most the temporary file, never a partial
// file under `name`; a failed one leaves nothing.
bool copyFileInto(const std::string& source, int folder, const std::string& folderPath, const std::string& name,
                  DurableBatch& batch, std::string* error = nullptr);
// The same from a file already open for reading, which `source` names in
// messages.
bool copyFileInto(int in, const std::string& source, int folder, const std::string& folderPath, const std::string& name,
                  DurableBatch& batch, std::string* error = nullptr);

// Copies the user attributes (user.*) of the open file `in` to `out`. Without
// `withOwn`, Strataloom's own attributes stay behind: the document identity
// belongs to the original alone, and the creation date travels with the dates.
void copyUserAttributes(int in, int out, bool withOwn);

// Gives the open file `out` the permissions of a file of status `source`,
// set-user-ID and set-group-ID only where `out` has the same owner and group,
// as `cp -p` does: a copy the user owns never runs as them for whoever made
// its source. False, with errno set, on failure.
bool copyPermissions(const struct stat& source, int out);

// Copies the whole of the open file `in` to the empty open file `out`, holes
// kept: a reflink where the file system shares extents, else in the kernel,
// else by reads and writes. False, with errno set, on failure.
bool copyFileContents(int in, int out);

} // namespace strataloom
