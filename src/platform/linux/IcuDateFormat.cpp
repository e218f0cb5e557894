#include "platform/DateFormat.hpp"

#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/stringpiece.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace kova::platform {
namespace {

// The time locale of the environment, as setlocale reads it (LC_ALL, then
// LC_TIME, then LANG), in ICU's form: "pl_PL.UTF-8" -> "pl_PL". A session
// that names no language ("C", "POSIX", nothing) gets Polish, the language of
// every other text in the windows.
std::string environmentTimeLocale() {
    for (const char* name : {"LC_ALL", "LC_TIME", "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0') {
            continue;
        }
        std::string locale(value);
        locale = locale.substr(0, locale.find_first_of(".@"));
        if (locale.empty() || locale == "C" || locale == "POSIX") {
            break;
        }
        return locale;
    }
    return "pl";
}

} // namespace

std::string mediumDateTime(std::int64_t secondsSinceEpoch) {
    return mediumDateTime(secondsSinceEpoch, environmentTimeLocale(), {});
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
