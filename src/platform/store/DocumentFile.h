#pragma once

#include "FileDescriptor.h"

#include <optional>
#include <string>

#include <sys/stat.h>

// A document's file opened once for an add or a comparison. Another local
// user who can write the document's folder may swap the name for a symbolic
// link, a pipe or a device between any two system calls, so the file is
// opened relative to its folder, never through a final symbolic link and
// never blocking, checked with fstat, and from then on read, checksummed,
// tagged and recorded through this descriptor only.
namespace strataloom::store {

struct DocumentFile {
    UniqueFd fd;
    struct stat status {};
    // The folder's canonical path (the folder the caller named, symbolic
    // links in it resolved) and the file's own name.
    std::string path;
};

struct OpenOptions {
    // The file the caller examined before: another one at the name is refused.
    const struct stat* judged = nullptr;
    // The path given is canonical already; a folder on it that resolves
    // elsewhere (swapped for a link since) is refused.
    bool canonical = false;
};

// Opens the regular file at `path` for reading. Refused, with a reason: a
// symbolic link, anything but a regular file, a file other than the one
// judged. errno is ENOENT when nothing is at the name.
std::optional<DocumentFile> openDocumentFile(const std::string& path, const OpenOptions& options = {},
                                             std::string* error = nullptr);

// Contents to copy from, named by the user or by this application (an
// unarchived folder's entries, which may be links to the files they stand
// for): opened once, never blocking, and refused unless a regular file.
UniqueFd openContentsFile(const std::string& path, struct stat& status, std::string* error = nullptr);

} // namespace strataloom::store
