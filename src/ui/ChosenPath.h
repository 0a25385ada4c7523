#pragma once

#include <QString>

#include <optional>
#include <string>

namespace strataloom {

// The exact bytes of the existing item a file chooser names by `path`. Qt's
// choosers show and return names as text, in which a name that is not UTF-8
// has lost bytes; each such component is found again as the one entry of its
// folder that shows as it does. Empty, with the reason in `error`, when no
// item, or more than one, fits.
std::optional<std::string> existingPathOf(const QString& path, std::string* error = nullptr);

} // namespace strataloom
