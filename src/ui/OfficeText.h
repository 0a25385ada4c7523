#pragma once

#include <QByteArray>

#include <optional>
#include <string_view>

namespace strataloom {

// The text of an office text document (OpenDocument text: content.xml;
// Office Open XML: word/document.xml), one paragraph a line, as UTF-8, so
// that versions of it are previewed and compared like plain text. None when
// `zip` is not such a document or its text cannot be read.
std::optional<QByteArray> officeText(std::string_view zip);

} // namespace strataloom
