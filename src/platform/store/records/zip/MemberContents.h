#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace strataloom::store::zip {

// The contents of the member `name` of the zip archive `zip`, stored or
// deflated. None, with a message, when the archive cannot be read, has no
// such member, or the member is encrypted, compressed otherwise, damaged or
// larger than `maxSize`.
std::optional<std::string> memberContents(std::string_view zip, std::string_view name, std::uint64_t maxSize,
                                          std::string* error = nullptr);

} // namespace strataloom::store::zip
