#include "platform/DateFormat.hpp"
#include "platform/darwin/CFPtr.hpp"

#include <CoreFoundation/CoreFoundation.h>

#include <string>
#include <vector>

namespace kova::platform {
namespace {

// The system's date formatter (what NSDateFormatter is built on) in its
// medium styles.
std::string format(std::int64_t secondsSinceEpoch, CFLocaleRef locale, std::string_view timeZone) {
    const CFPtr<CFDateFormatterRef> formatter(
        CFDateFormatterCreate(nullptr, locale, kCFDateFormatterMediumStyle, kCFDateFormatterMediumStyle));
    if (!formatter.get()) {
        return {};
    }
    if (!timeZone.empty()) {
        const auto name = cfString(timeZone);
        const CFPtr<CFTimeZoneRef> zone(name.get() ? CFTimeZoneCreateWithName(nullptr, name.get(), true)
                                                   : nullptr);
        if (zone.get()) {
            CFDateFormatterSetProperty(formatter.get(), kCFDateFormatterTimeZone, zone.get());
        }
    }
    const CFPtr<CFStringRef> text(CFDateFormatterCreateStringWithAbsoluteTime(
        nullptr, formatter.get(),
        static_cast<CFAbsoluteTime>(secondsSinceEpoch) - kCFAbsoluteTimeIntervalSince1970));
    return fromCFString(text.get()).value_or(std::string());
}

} // namespace

std::string mediumDateTime(std::int64_t secondsSinceEpoch) {
    const CFPtr<CFLocaleRef> locale(CFLocaleCopyCurrent());
    return format(secondsSinceEpoch, locale.get(), {});
}

std::string mediumDateTime(std::int64_t secondsSinceEpoch, std::string_view localeName,
                           std::string_view timeZone) {
    const auto name = cfString(localeName);
    const CFPtr<CFLocaleRef> locale(name.get() ? CFLocaleCreate(nullptr, name.get()) : nullptr);
    return format(secondsSinceEpoch, locale.get(), timeZone);
}

} // namespace kova::platform
