#include "platform/DateFormat.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace kova {
namespace {

// 2026-12-09T16:17:22Z
constexpr std::int64_t moment = 1796833042;

TEST(DateFormat, MediumDateAndTimeOfTheUsersLanguage) {
    EXPECT_EQ(platform::mediumDateTime(moment, "pl", "Europe/Warsaw"), "9 gru 2026, 17:17:22");
    EXPECT_EQ(platform::mediumDateTime(moment, "pl_PL", "Asia/Tokyo"), "10 gru 2026, 01:17:22");
    EXPECT_EQ(platform::mediumDateTime(moment, "en_US", "America/New_York"), "Dec 9, 2026, 11:17:22\u202fAM");
    EXPECT_EQ(platform::mediumDateTime(moment, "de_DE", "Europe/Berlin"), "09.12.2026, 17:17:22");

    // The environment names the language; a session that names none gets the windows' Polish.
    const char* previous = std::getenv("LC_ALL");
    const std::string kept = previous ? previous : "";
    const auto formatted = [](const char* language) {
        ::setenv("LC_ALL", language, 1);
        return platform::mediumDateTime(moment);
    };
    EXPECT_NE(formatted("en_US.UTF-8").find("Dec 9, 2026"), std::string::npos);
    EXPECT_NE(formatted("C.UTF-8").find("gru 2026"), std::string::npos);
    EXPECT_NE(formatted("POSIX").find("gru 2026"), std::string::npos);
    if (previous) {
        ::setenv("LC_ALL", kept.c_str(), 1);
    } else {
        ::unsetenv("LC_ALL");
    }
}

} // namespace
} // namespace kova
