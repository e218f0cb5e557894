#include "core/Payload.hpp"

#include <gtest/gtest.h>
#include <limits>

namespace kova {
namespace {

TEST(PayloadInt, ReadsNumbersAndDecimalStringsThenClamps) {
    const auto max64 = std::numeric_limits<std::int64_t>::max();
    const std::vector<std::pair<Json, std::int64_t>> cases = {
        {Json(42), 42},
        {Json(-3), 0},     // clamped to min
        {Json(5000), 100}, // clamped to max
        {Json("17"), 17},
        {Json("+17"), 17},
        {Json("-0"), 0},
        {Json("007"), 7},
        {Json(" 17"), 50}, // no spaces
        {Json("17 "), 50},
        {Json("1.5"), 50},
        {Json("+"), 50},
        {Json("+-5"), 50},
        {Json("--5"), 50},
        {Json(""), 50},
        {Json("99999999999999999999"), 50},   // overflow
        {Json(99999999999999999999.0), 50},   // not an integer number
        {Json(18446744073709551615ULL), 100}, // an integer beyond int64 is still large
        {Json(2.5), 50},
        {Json(12.0), 12},
        {Json(true), 50},
        {Json(nullptr), 50},
        {Json::array({7}), 50},
        {Json::object(), 50},
    };
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(payloadInt(&value, 50, 0, 100), expected) << value.dump();
    }
    EXPECT_EQ(payloadInt(nullptr, 50, 0, 100), 50);
    EXPECT_EQ(payloadInt(std::optional<Json>(), 500, 0, 100), 100); // the default is clamped too
    EXPECT_EQ(payloadInt(std::optional<Json>(Json("-9223372036854775808")), 0,
                         std::numeric_limits<std::int64_t>::min(), max64),
              std::numeric_limits<std::int64_t>::min());
}

TEST(PayloadInt, LooksUpKeysOnlyInObjects) {
    const Json payload = {{"max_items", "20"}};
    EXPECT_EQ(payloadInt(payloadValue(payload, "max_items"), 500, 10, 2000), 20);
    EXPECT_EQ(payloadInt(payloadValue(payload, "missing"), 500, 10, 2000), 500);
    EXPECT_EQ(payloadValue(Json::array({1}), "max_items"), nullptr);
    EXPECT_EQ(payloadValue(Json("text"), "max_items"), nullptr);
}

TEST(PayloadBool, StringsAreTrueOnlyForTheFourWords) {
    for (const char* yes : {"1", "true", "TRUE", "Yes", "on", "oN"}) {
        EXPECT_TRUE(payloadBool(std::optional<Json>(yes), false)) << yes;
    }
    // A string that is not one of them is false, not the default.
    for (const char* no : {"0", "false", "no", "", " true", "2", "y"}) {
        EXPECT_FALSE(payloadBool(std::optional<Json>(no), true)) << no;
    }
    EXPECT_TRUE(payloadBool(std::optional<Json>(true), false));
    EXPECT_FALSE(payloadBool(std::optional<Json>(false), true));
    for (const Json& other : {Json(1), Json(0), Json(nullptr), Json::array()}) {
        EXPECT_TRUE(payloadBool(&other, true)) << other.dump();
        EXPECT_FALSE(payloadBool(&other, false)) << other.dump();
    }
    EXPECT_TRUE(payloadBool(nullptr, true));
}

TEST(PayloadJsonLiteral, EscapesLikeAStandardEncoderWithSlashes) {
    EXPECT_EQ(jsonLiteral(""), "\"\"");
    EXPECT_EQ(jsonLiteral("https://x/y"), R"("https:\/\/x\/y")");
    EXPECT_EQ(jsonLiteral("a\"b\\c"), R"("a\"b\\c")");
    EXPECT_EQ(jsonLiteral("line\nnext\ttab\x01"), R"("line\nnext\ttab\u0001")");
    EXPECT_EQ(jsonLiteral("zażółć"), "\"zażółć\"");
    EXPECT_EQ(jsonLiteral("$(rm -rf /)`x`'"), R"("$(rm -rf \/)`x`'")");
    EXPECT_EQ(jsonLiteral("bad \xFF byte"), "\"\"");
    // Whatever the input, the literal decodes back to it.
    const std::string hostile = "\"; rm -rf / #\\/\n";
    EXPECT_EQ(Json::parse(jsonLiteral(hostile)).get<std::string>(), hostile);
}

} // namespace
} // namespace kova
