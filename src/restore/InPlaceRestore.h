#pragma once

#include "FileUrl.h"
#include "FileVersion.h"

#include <optional>
#include <string>

namespace strataloom {

class FileVersionStore;

// What restoring a version in place did, or with a dry run would do.
struct InPlaceRestore {
    // The document held the version's contents already: nothing was changed.
    bool unchanged = false;
    // The contents before the restore were kept as a new version; false when
    // they were its newest version already.
    bool keptCurrent = false;
};

// Puts the contents of `version`, a stored version of `document`, back into
// the document itself, as a user's save would. The document's current
// contents are first kept as an explicit version (unless they are its newest
// already), so that restoring that version undoes this; the restored
// contents then become a version too. The new contents are written to a
// hidden file in the document's folder, opened relative to it and never
// through a link, made durable, and renamed over the document: the document
// keeps its id attribute and its other extended attributes, its permissions,
// owner where the user may set it, and its creation date; its modification
// date is the time of the restore, since it is a new save. Nothing is
// replaced when the document changes meanwhile. Empty, with the reason in
// `error`, on failure.
std::optional<InPlaceRestore> restoreVersionInPlace(FileVersionStore& store, const FileUrl& document,
                                                    const FileVersion& version, bool dryRun = false,
                                                    std::string* error = nullptr);

} // namespace strataloom
