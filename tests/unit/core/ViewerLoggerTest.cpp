#include "core/ViewerLogger.hpp"
#include "core/Errors.hpp"
#include "core/Paths.hpp"
#include "core/Stop.hpp"
#include "core/Time.hpp"
#include "support/TempRoot.hpp"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <unistd.h>

namespace kova {
namespace {

class ViewerLoggerTest : public ::testing::Test {
protected:
    std::filesystem::path logPath() const { return paths::logDirectory() / "sekwo.log"; }
    void fill(std::uintmax_t size) const {
        std::filesystem::create_directories(paths::logDirectory());
        std::ofstream out(logPath(), std::ios::binary | std::ios::trunc);
        out << std::string(size, 'x');
    }
    test::TempRoot root;
};

TEST_F(ViewerLoggerTest, LineFormat) {
    ViewerLogger::info("hello");
    ViewerLogger::warn("multi\nline");
    ViewerLogger::error(ViewerError::http(404, ""), "State save failed");
    const auto text = root.read(logPath());
    const std::regex line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \[(INFO|WARN|ERROR)\] )");
    EXPECT_TRUE(std::regex_search(text, line));
    EXPECT_NE(text.find("Z [INFO] hello\n"), std::string::npos);
    EXPECT_NE(text.find("Z [WARN] multi\\nline\n"), std::string::npos) << "one call, one line";
    EXPECT_NE(text.find("Z [ERROR] State save failed: HTTP 404\n"), std::string::npos);
}

TEST_F(ViewerLoggerTest, RotationBoundaries) {
    const std::string line = "0123456789"; // message; the whole line is longer
    const auto lineSize =
        formatIso8601(nowSeconds()).size() + std::string(" [INFO] ").size() + line.size() + 1;

    fill(ViewerLogger::maximumLogFileSize);
    ViewerLogger::info(line);
    EXPECT_EQ(std::filesystem::file_size(logPath()), lineSize) << "a full file is truncated first";

    fill(ViewerLogger::maximumLogFileSize - lineSize);
    ViewerLogger::info(line);
    EXPECT_EQ(std::filesystem::file_size(logPath()), ViewerLogger::maximumLogFileSize)
        << "exactly at the limit fits";

    fill(ViewerLogger::maximumLogFileSize - lineSize + 1);
    ViewerLogger::info(line);
    EXPECT_EQ(std::filesystem::file_size(logPath()), lineSize) << "one byte over is truncated first";
}

TEST(ViewerLoggerEscaping, ControlCharactersAreEscapedEverythingElseKept) {
    const struct {
        std::string message;
        std::string written;
    } cases[] = {
        {"id=X\n2026-01-01T00:00:00Z [ERROR] forged", "id=X\\n2026-01-01T00:00:00Z [ERROR] forged"},
        {"a\r\tb", "a\\r\\tb"},
        {"esc\x1b[31m bell\x07 nul" + std::string(1, '\0') + " del\x7f",
         "esc\\u001b[31m bell\\u0007 nul\\u0000 del\\u007f"},
        {"C1 \u0085 \u009b, separators \u2028\u2029", "C1 \\u0085 \\u009b, separators \\u2028\\u2029"},
        {"bad \xff\xc3 byte", "bad \\xff\\xc3 byte"},
        {"Zażółć gęślą jaźń \\n \"x\" 😀", "Zażółć gęślą jaźń \\n \"x\" 😀"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ViewerLogger::escapeControlCharacters(c.message), c.written) << c.written;
    }
}

TEST_F(ViewerLoggerTest, FallbackRefusesPlantedDirectoriesAndFiles) {
    namespace fs = std::filesystem;
    fs::create_directories(paths::fixed("/Library"));
    root.write(paths::fixed("/Library/Logs"), "a file, not a directory");
    const auto fallback = paths::fallbackLogDirectory();
    fs::create_directories(fallback.parent_path());
    const auto victim = root.path() / "victim";
    fs::create_directories(victim);
    const auto secret = victim / "secret";
    root.write(secret, "root only\n");
    const auto appended = [&] {
        return root.read(secret) != "root only\n" || fs::exists(victim / "sekwo.log");
    };

    fs::create_directory_symlink(victim, fallback);
    ViewerLogger::info("through a directory link");
    EXPECT_FALSE(fs::exists(victim / "sekwo.log"));
    fs::remove(fallback);

    fs::create_directory(fallback);
    fs::permissions(fallback, fs::perms(0755));
    fs::create_symlink(secret, fallback / "sekwo.log");
    ViewerLogger::info("through a file link");
    EXPECT_FALSE(appended());
    fs::remove(fallback / "sekwo.log");

    fs::create_hard_link(secret, fallback / "sekwo.log");
    ViewerLogger::info("through a hard link");
    EXPECT_FALSE(appended());
    fs::remove(fallback / "sekwo.log");

    for (const auto mode : {0775, 0757}) {
        fs::permissions(fallback, fs::perms(mode));
        ViewerLogger::info("into a directory others can write");
        EXPECT_FALSE(fs::exists(fallback / "sekwo.log")) << std::oct << mode;
    }
    fs::permissions(fallback, fs::perms(0755));
    ASSERT_EQ(::chown(fallback.c_str(), 65534, 65534), 0);
    ViewerLogger::info("into another user's directory");
    EXPECT_FALSE(fs::exists(fallback / "sekwo.log"));

    ASSERT_EQ(::chown(fallback.c_str(), ::geteuid(), ::getegid()), 0);
    ViewerLogger::info("into its own directory");
    EXPECT_NE(root.read(fallback / "sekwo.log").find("[INFO] into its own directory\n"), std::string::npos);
}

TEST_F(ViewerLoggerTest, FallsBackWhenTheLogDirectoryCannotBeCreated) {
    std::filesystem::create_directories(paths::fixed("/Library"));
    std::filesystem::create_directories(paths::fixed("/tmp"));
    root.write(paths::fixed("/Library/Logs"), "a file, not a directory");
    ViewerLogger::info("to the fallback");
    EXPECT_EQ(ViewerLogger::logFile(), paths::fallbackLogDirectory() / "sekwo.log");
    EXPECT_NE(root.read(paths::fallbackLogDirectory() / "sekwo.log").find("[INFO] to the fallback"),
              std::string::npos);
}

TEST_F(ViewerLoggerTest, ConcurrentLinesNeverInterleave) {
    std::vector<JThread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                ViewerLogger::info("thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
                                   std::string(200, static_cast<char>('a' + t)));
            }
        });
    }
    threads.clear();
    std::ifstream in(logPath());
    std::string l;
    int count = 0;
    const std::regex whole(R"(^\S+Z \[INFO\] thread (\d) line \d+ ([a-d])\2{199}$)");
    while (std::getline(in, l)) {
        ++count;
        EXPECT_TRUE(std::regex_match(l, whole)) << l.substr(0, 80);
    }
    EXPECT_EQ(count, 200);
}

} // namespace
} // namespace kova
