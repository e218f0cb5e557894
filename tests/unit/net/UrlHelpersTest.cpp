#include "net/UrlHelpers.hpp"

#include <gtest/gtest.h>

namespace kova {
namespace {

TEST(UrlHelpers, LoggedUrlsCarryNoQueryValuesPasswordsOrFragments) {
    const struct {
        const char* url;
        const char* logged;
    } cases[] = {
        {"wss://host/signal/RS-2?session_token=SESSION-SECRET-789",
         "wss://host/signal/RS-2?session_token=***"},
        {"https://h:8443/api/agent/control?a=1&b=&c", "https://h:8443/api/agent/control?a=***&b=***&***"},
        {"wss://user:hunter2@h/x#token=abc", "wss://user:***@h/x"},
        {"https://h/plain/path", "https://h/plain/path"},
        {"https://h/x?%73ecret=%41", "https://h/x?%73ecret=***"},
        {"not a url?token=SECRET", "not a url"},
        {"no url#SECRET", "no url"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(url::forLog(c.url), c.logged) << c.url;
    }
}

} // namespace
} // namespace kova
