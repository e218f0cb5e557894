#include "platform/DateFormat.hpp"
#include "platform/linux/EnvironmentLocale.hpp"

#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/stringpiece.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <memory>
#include <string>

namespace kova::platform {

std::string mediumDateTime(std::int64_t secondsSinceEpoch) {
    // A session that names no language gets Polish, the language of every
    // other text in the windows.
    return mediumDateTime(secondsSinceEpoch, environmentLocale("LC_TIME").value_or("pl"), {});
}

std::string mediumDateTime(std::int64_t secondsSinceEpoch, std::string_view localeName,
                           std::string_view timeZone) {
    const std::unique_ptr<icu::DateFormat> format(icu::DateFormat::createDateTimeInstance(
        icu::DateFormat::kMedium, icu::DateFormat::kMedium, icu::Locale(std::string(localeName).c_str())));
    if (!format) {
        return {};
    }
    if (!timeZone.empty()) {
        format->adoptTimeZone(icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(
            icu::StringPiece(timeZone.data(), static_cast<int32_t>(timeZone.size())))));
    }
    icu::UnicodeString text;
    format->format(static_cast<UDate>(secondsSinceEpoch) * 1000.0, text);
    std::string result;
    text.toUTF8String(result);
    return result;
}

} // namespace kova::platform
