#include "core/Time.hpp"

#include <cstdio>
#include <ctime>

namespace kova {
namespace {

bool digits(std::string_view s, std::size_t pos, std::size_t count, int& out) {
    if (pos + count > s.size()) {
        return false;
    }
    int value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = s[pos + i];
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    out = value;
    return true;
}

} // namespace

Timestamp nowSeconds() {
    return std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
}

std::string formatIso8601(Timestamp t) {
    const std::time_t seconds = t.time_since_epoch().count();
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buffer;
}

std::optional<Timestamp> parseIso8601(std::string_view s) {
    int year, month, day, hour, minute, second;
    if (s.size() < 20 || !digits(s, 0, 4, year) || s[4] != '-' || !digits(s, 5, 2, month) || s[7] != '-' ||
        !digits(s, 8, 2, day) || (s[10] != 'T' && s[10] != 't') || !digits(s, 11, 2, hour) || s[13] != ':' ||
        !digits(s, 14, 2, minute) || s[16] != ':' || !digits(s, 17, 2, second)) {
        return std::nullopt;
    }
    int offsetSeconds = 0;
    const auto zone = s.substr(19);
    if (zone == "Z" || zone == "z") {
        offsetSeconds = 0;
    } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':') {
        int oh, om;
        if (!digits(zone, 1, 2, oh) || !digits(zone, 4, 2, om) || oh > 23 || om > 59) {
            return std::nullopt;
        }
        offsetSeconds = (oh * 3600 + om * 60) * (zone[0] == '-' ? -1 : 1);
    } else {
        return std::nullopt;
    }
    using namespace std::chrono;
    const year_month_day ymd{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                             std::chrono::day{static_cast<unsigned>(day)}};
    if (!ymd.ok() || hour > 23 || minute > 59 || second > 60) {
        return std::nullopt;
    }
    return Timestamp{sys_days{ymd}.time_since_epoch() + hours{hour} + minutes{minute} + seconds{second} -
                     seconds{offsetSeconds}};
}

} // namespace kova
