#include "core/Base64.hpp"

#include <gtest/gtest.h>

namespace kova {
namespace {

TEST(Base64, StandardAlphabetPaddingAndLargeInputs) {
    EXPECT_EQ(base64Encoded(""), "");
    EXPECT_EQ(base64Encoded("f"), "Zg==");
    EXPECT_EQ(base64Encoded("fo"), "Zm8=");
    EXPECT_EQ(base64Encoded("foobar"), "Zm9vYmFy");
    EXPECT_EQ(base64Encoded(std::string("\xFB\xFF\x00", 3)), "+/8A");

    // Larger than one internal chunk, not a multiple of three: no line breaks,
    // and the same text as the two parts encoded on their own.
    std::string big(3 * 1024 * 1024 + 4, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>(i * 7);
    }
    const auto encoded = base64Encoded(big);
    EXPECT_EQ(encoded.size(), (big.size() + 2) / 3 * 4);
    EXPECT_EQ(encoded.find('\n'), std::string::npos);
    EXPECT_EQ(encoded,
              base64Encoded(big.substr(0, 3 * 1024 * 1024)) + base64Encoded(big.substr(3 * 1024 * 1024)));
}

TEST(Base64, StrictDecodingRefusesEverythingOutsideTheStandardForm) {
    EXPECT_EQ(base64DecodeStrict("Zm9vYg=="), "foob");
    EXPECT_EQ(base64DecodeStrict("//4="), "\xff\xfe");
    EXPECT_EQ(base64DecodeStrict(""), "");
    for (const char* bad : {"Zm9v\n", "Zm9", "Zm=v", "Zm9vY===", "====", "Zm9-", "Zm9_", " Zm9v"}) {
        EXPECT_EQ(base64DecodeStrict(bad), std::nullopt) << bad;
    }
}

} // namespace
} // namespace kova
