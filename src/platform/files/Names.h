#pragma once

#include <compare>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace strataloom {

// Helpers for file names, which are bytes that are usually, but not always,
// UTF-8.
//
// Order. A name that is valid UTF-8 is keyed by its UTF-8 bytes after bringing
// it to canonical composed form (NFC): comparing such keys byte by byte is
// comparing Unicode scalars, with no case folding, no locale and no natural
// numbers, and a proper prefix first. A name that is not valid UTF-8 is keyed by
// its raw bytes. All keys are compared byte by byte, so the order is total and
// the same on every run. A valid key never equals an invalid one, so a name that
// is not UTF-8 only ties with an identical name.

// Strict UTF-8, as Qt's decoder judges it: no stray or missing continuation
// bytes, overlong forms, surrogates or values above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

// The key by which `name` sorts (see above).
std::string nameSortKey(std::string_view name);

// Compares two names by their keys; canonically equivalent names are equal.
std::strong_ordering compareNames(std::string_view a, std::string_view b);

// Sorts names in ascending order of their keys, keeping the given order of
// names that compare equal. Each key is computed once.
void sortNames(std::vector<std::string>& names);

// Characters are user-perceived characters (extended grapheme clusters) of the
// name's valid UTF-8 stretches; a byte that is not part of valid UTF-8 counts as
// one character on its own, and clusters never span such a byte.
std::size_t characterCount(std::string_view name);

// `name` without its last `count` characters (empty when it has no more than
// `count`). The result is always a byte prefix of `name`.
std::string droppingLastCharacters(std::string_view name, std::size_t count);

// `name` as one line of text output that no name can forge: control
// characters (C0, DEL, C1, U+2028, U+2029) and bytes that are not UTF-8 become
// `\xNN` escapes (`\n`, `\t` and `\r` for the usual three) and a backslash is
// doubled, as `ls -b` does; other valid UTF-8 is kept. Machine-readable output
// keeps the exact bytes instead.
std::string printableName(std::string_view name);

// `word` as one word for a POSIX shell, for a command the user may paste: as
// it is when every byte is one a shell takes as itself, else in single quotes.
std::string shellWord(std::string_view word);

} // namespace strataloom
