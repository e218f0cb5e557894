#include "core/Files.hpp"
#include "core/Json.hpp"
#include "core/Strings.hpp"
#include "core/Time.hpp"
#include "core/Unicode.hpp"
#include "support/TempRoot.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace kova {
namespace {

TEST(Strings, TrimAndSlashes) {
    EXPECT_EQ(trimmed(" \t\r\n abc \n"), "abc");
    EXPECT_EQ(trimmed("\xC2\xA0token\xE2\x80\xA8"), "token");
    EXPECT_EQ(trimmed("  "), "");
    EXPECT_EQ(trimmed("a b"), "a b");
    EXPECT_EQ(trimmed("ż"), "ż");
    EXPECT_EQ(trimmedTrailingSlash("https://x///"), "https://x");
    EXPECT_EQ(trimmedTrailingSlash("///"), "");
}

TEST(Json, NestingDeeperThanTheBoundIsADecodeFailure) {
    const auto nested = [](std::size_t levels, char open, char close) {
        return std::string(levels, open) + std::string(levels, close);
    };
    EXPECT_NO_THROW(parseJson(nested(maxJsonDepth, '[', ']'), "doc"));
    // Brackets inside strings do not count; escaped quotes do not end a string.
    EXPECT_NO_THROW(parseJson("[\"" + nested(500, '{', '}') + "\\\"[[[\"]", "doc"));
    try {
        parseJson(nested(100000, '[', ']'), "The document");
        ADD_FAILURE() << "accepted";
    } catch (const DecodingError& e) {
        EXPECT_STREQ(e.what(),
                     "The document could not be decoded: the data is nested deeper than 128 levels.");
    }
    EXPECT_TRUE(parseJsonOrDiscarded(nested(maxJsonDepth + 1, '{', '}')).is_discarded());
    // Megabytes of tiny values are refused too; commas inside strings do not count.
    std::string many = "[";
    for (std::size_t i = 0; i < maxJsonValues; ++i) {
        many += "0,";
    }
    EXPECT_THROW(parseJson(many + "0]", "doc"), DecodingError);
    EXPECT_NO_THROW(parseJson("[\"" + std::string(maxJsonValues + 1, ',') + "\", 1]", "doc"));
}

TEST(Time, Iso8601IsStrict) {
    const auto t = parseIso8601("2026-03-01T14:05:09Z");
    ASSERT_TRUE(t);
    EXPECT_EQ(formatIso8601(*t), "2026-03-01T14:05:09Z");
    EXPECT_EQ(t->time_since_epoch().count(), 1772373909);
    for (const char* bad : {"2026-03-01T14:05:09", "2026-03-01T14:05:09.5Z", "2026-02-30T00:00:00Z",
                            "2026-03-01 14:05:09Z", "", "2026-03-01T24:00:00Z", "x026-03-01T14:05:09Z"}) {
        EXPECT_FALSE(parseIso8601(bad)) << bad;
    }
}

TEST(Unicode, GraphemeClusters) {
    EXPECT_EQ(graphemeCount(""), 0u);
    EXPECT_EQ(graphemeCount("abc"), 3u);
    EXPECT_EQ(graphemeCount("zażółć"), 6u);
    EXPECT_EQ(graphemeCount("e\xCC\x81"), 1u);                                    // e + combining acute
    EXPECT_EQ(graphemeCount("\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB"), 1u); // woman technologist
    EXPECT_EQ(graphemePrefixLength("ae\xCC\x81z", 2), 4u);
    EXPECT_EQ(graphemePrefixLength("ab", 5), 2u);
    EXPECT_TRUE(isValidUtf8("zażółć"));
    EXPECT_FALSE(isValidUtf8("\xFF\xFE"));
    EXPECT_EQ(graphemeCount("a\xFF"), 2u);
}

TEST(Files, AtomicWriteReplacesAndUsesDefaultPermissions) {
    test::TempRoot root;
    const auto path = root.path() / "f.json";
    files::writeFileAtomically(path, "one");
    files::writeFileAtomically(path, "two");
    EXPECT_EQ(files::readFile(path), "two");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~files::processUmask());
    files::writeFileAtomically(path, "three", 0600);
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // No temporary files are left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root.path()),
                            std::filesystem::directory_iterator()),
              1);
    EXPECT_THROW(files::writeFileAtomically(root.path() / "missing" / "f", "x"), std::system_error);
}

TEST(Files, ReadRegularFileRefusesWhatIsNotASmallRegularFile) {
    test::TempRoot root;
    const auto file = root.path() / "f";
    root.write(file, "12345");
    EXPECT_EQ(files::readRegularFile(file, 5), "12345");
    EXPECT_EQ(files::readRegularFile(file, 4), std::nullopt);
    EXPECT_EQ(files::readRegularFile(root.path(), 100), std::nullopt);
    EXPECT_EQ(files::readRegularFile(root.path() / "missing", 100), std::nullopt);
    const auto fifo = root.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(files::readRegularFile(fifo, 100), std::nullopt); // and does not block
    const auto link = root.path() / "link";
    std::filesystem::create_symlink(file, link);
    EXPECT_EQ(files::readRegularFile(link, 100), "12345");
    EXPECT_EQ(files::readRegularFile(link, 100, false), std::nullopt);
}

} // namespace
} // namespace kova
