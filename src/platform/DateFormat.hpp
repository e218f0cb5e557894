#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kova::platform {

// A moment (seconds since 1970) in the medium date and medium time styles of
// the user's language and in the local time zone, UTF-8: "9 gru 2026,
// 17:17:22" in Polish, "Dec 9, 2026, 5:17:22 PM" in American English.
std::string mediumDateTime(std::int64_t secondsSinceEpoch);
// For a named locale ("pl", "en_US") and time zone ("Europe/Warsaw"; empty
// for the local one); tests use it to fix both.
std::string mediumDateTime(std::int64_t secondsSinceEpoch, std::string_view localeName,
                           std::string_view timeZone);

} // namespace kova::platform
