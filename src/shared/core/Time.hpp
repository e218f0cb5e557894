#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace kova {

using Timestamp = std::chrono::sys_seconds;

Timestamp nowSeconds();
// "2026-03-01T14:05:09Z": UTC, whole seconds, zone "Z".
std::string formatIso8601(Timestamp t);
// Accepts exactly the internet date-time form to whole seconds with "Z" or a
// numeric offset; fractional seconds or a missing zone give nullopt.
std::optional<Timestamp> parseIso8601(std::string_view text);

} // namespace kova
