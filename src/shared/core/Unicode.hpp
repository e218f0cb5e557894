#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kova {

bool isValidUtf8(std::string_view text);
// Number of user-perceived characters (extended grapheme clusters). Invalid
// UTF-8 bytes count as one character each.
std::size_t graphemeCount(std::string_view text);
// Byte offset just past the first `count` characters (text.size() when shorter).
std::size_t graphemePrefixLength(std::string_view text, std::size_t count);

} // namespace kova
