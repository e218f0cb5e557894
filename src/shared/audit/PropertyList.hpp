#pragma once

#include "core/Json.hpp"

#include <filesystem>
#include <optional>
#include <string_view>

namespace kova::audit {

// A property list (XML or binary) as JSON: dictionaries become objects,
// integers and reals numbers, booleans booleans, dates ISO 8601 text (seconds
// since 1970), data its length in a placeholder text. Absent when the bytes
// are not a property list.
std::optional<Json> parsePropertyList(std::string_view bytes);

// Reads a property list file of at most a few megabytes; absent when it is
// missing, unreadable, too large or malformed.
std::optional<Json> readPropertyList(const std::filesystem::path& path);

} // namespace kova::audit
