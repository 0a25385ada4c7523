#pragma once

#include <memory>
#include <string>

#include <dirent.h>

// Paths as the watcher builds and compares them: canonical, absolute bytes.
namespace strataloom::watch {

std::string childPath(const std::string& folder, const std::string& name);
// Whether `path` is strictly inside `folder`.
bool isWithin(const std::string& path, const std::string& folder);
std::string nameOf(const std::string& path);

enum class EntryKind { Folder, File, Other };
EntryKind kindOf(DIR* folder, const dirent& entry);

struct FolderCloser {
    void operator()(DIR* folder) const { closedir(folder); }
};
using OpenFolder = std::unique_ptr<DIR, FolderCloser>;

// The folder at `path`, following no link at its last step; null, with errno
// set, when it cannot be opened.
OpenFolder openFolder(const std::string& path);

} // namespace strataloom::watch
