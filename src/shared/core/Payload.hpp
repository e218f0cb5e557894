#pragma once

#include "core/Json.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Lenient readers of command payload values: the server sends numbers and
// flags either as JSON values or as strings.
namespace kova {

// The value under `key`, or null when `payload` is not an object or lacks it.
const Json* payloadValue(const Json& payload, std::string_view key);

// An integer number (an integral decimal such as 5.0 counts), or a string of
// decimal digits with an optional sign; anything else gives `defaultValue`.
// The result, the default included, is clamped to min ... max.
std::int64_t payloadInt(const Json* value, std::int64_t defaultValue, std::int64_t min, std::int64_t max);
std::int64_t payloadInt(const std::optional<Json>& value, std::int64_t defaultValue, std::int64_t min,
                        std::int64_t max);

// A boolean as is; a string is true exactly for "1", "true", "yes", "on" in
// any letter case and false otherwise; anything else gives `defaultValue`.
bool payloadBool(const Json* value, bool defaultValue);
bool payloadBool(const std::optional<Json>& value, bool defaultValue);

// The text of a JSON string literal for `text`, with every "/" escaped as
// "\/"; "\"\"" when `text` is not valid UTF-8.
std::string jsonLiteral(std::string_view text);

} // namespace kova
