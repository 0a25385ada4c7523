#pragma once

#include <optional>
#include <string>
#include <string_view>

// Bytes as text for the store's own files (the logs): lowercase hex, and
// base64 with padding. The readers refuse anything the writers never make.
namespace strataloom::store {

std::string hex(std::string_view bytes);
std::optional<std::string> unhex(std::string_view text);

std::string base64(std::string_view bytes);
std::optional<std::string> unbase64(std::string_view text);

} // namespace strataloom::store
