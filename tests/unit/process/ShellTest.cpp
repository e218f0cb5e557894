#include "process/Shell.hpp"
#include "support/FakeProcessRunner.hpp"

#include <gtest/gtest.h>

namespace kova {
namespace {

std::optional<std::string> sh(const std::string& script) {
    return Shell::run("/bin/sh", {"-c", script});
}

TEST(ShellRun, ReturnsTrimmedStandardOutputOfASuccessfulTool) {
    EXPECT_EQ(sh("echo '  hello world  '; echo noise >&2"), "hello world");
    EXPECT_EQ(Shell::run("/bin/echo", {"a", "b"}), "a b");
}

TEST(ShellRun, AbsentForFailureOfAnyKind) {
    EXPECT_EQ(sh("echo printed anyway; exit 1"), std::nullopt);
    EXPECT_EQ(sh("echo partial; kill -TERM $$"), std::nullopt);
    EXPECT_EQ(Shell::run("/nonexistent/tool", {}), std::nullopt);
    EXPECT_EQ(sh("printf 'ok\\377'"), std::nullopt);
}

TEST(ShellRun, WhiteSpaceOnlyOutputIsPresentAndEmpty) {
    const auto output = sh("printf '  \\n\\t\\r\\n  '");
    ASSERT_TRUE(output.has_value());
    EXPECT_EQ(*output, "");
}

TEST(ShellRun, CollectsReportsLargerThanAPipeBuffer) {
    const auto output = sh("head -c 2000000 /dev/zero | tr '\\0' r; head -c 500000 /dev/zero >&2");
    ASSERT_TRUE(output.has_value());
    EXPECT_EQ(output->size(), 2000000u);
}

TEST(ShellRun, PassesExecutableAndArgumentsThroughUnchanged) {
    test::FakeProcessRunner fake;
    fake.add("/usr/sbin/sysctl", {"-n", "hw.model"}, "MacBookPro18,3\n", 0, "ignored");
    EXPECT_EQ(Shell::run(fake, "/usr/sbin/sysctl", {"-n", "hw.model"}), "MacBookPro18,3");
    ASSERT_EQ(fake.calls().size(), 1u);
    EXPECT_FALSE(fake.calls()[0].mergeStandardError);
    EXPECT_FALSE(fake.calls()[0].timeLimit.has_value());
}

TEST(ShellProcessOutput, MergesStreamsAndIgnoresTheExitStatus) {
    const auto output = Shell::processOutput("/bin/sh", {"-c", "echo out; echo err >&2; exit 3"});
    EXPECT_EQ(output, "out\nerr");
}

TEST(ShellProcessOutput, AbsentWhenNothingUsableRemains) {
    EXPECT_EQ(Shell::processOutput("/bin/sh", {"-c", "printf ' \\n\\n'"}), std::nullopt);
    EXPECT_EQ(Shell::processOutput("/bin/sh", {"-c", "printf '\\377' >&2"}), std::nullopt);
    EXPECT_EQ(Shell::processOutput("/nonexistent/codesign", {"-dv"}), std::nullopt);
}

} // namespace
} // namespace kova
