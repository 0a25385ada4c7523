#pragma once

#include "FileAttributes.h"
#include "FileUrl.h"
#include "FileVersion.h"

#include <optional>
#include <string>

namespace strataloom {

// The name a copy of a version of `document` takes beside it:
// "<base> (version of <date>)<.extension>", the date being `modification` in
// local time as "2026-12-07 14.03"; from `attempt` 2 on, " <attempt>" follows
// the closing parenthesis.
std::string restoredCopyName(const FileUrl& document, const FileTime& modification, unsigned attempt = 1);

// Gives the regular file `name` in the open `folder` the version's recorded
// dates: a version's dates are those the store recorded when it was added,
// whatever became of the stored file's own. A current version keeps its own.
// Works on the file opened once, never through a link standing at `name`.
bool giveRecordedDates(int folder, const std::string& name, const FileVersion& version, std::string* error = nullptr);

// Copies `version` beside `document` under the first restoredCopyName() that
// is free, never in place of anything, keeping the version's two dates and
// permissions. The copy is a document of its own: it carries no document id,
// so its first saved version starts a history of its own. Returns the copy's
// path once it is durable; empty, with the reason in `error`, on failure. A
// copy cut short leaves nothing under its name.
std::optional<std::string> restoreVersionAsCopy(const FileVersion& version, const FileUrl& document,
                                                std::string* error = nullptr);

} // namespace strataloom
