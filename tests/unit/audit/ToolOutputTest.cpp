#include "audit/ToolOutput.hpp"
#include "support/FakeProcessRunner.hpp"

#include <gtest/gtest.h>

namespace kova::audit {
namespace {

ProcessResult finished(std::string out, int status = 0, std::string err = {}) {
    ProcessResult result;
    result.launched = true;
    result.exitStatus = status;
    result.standardOutput = std::move(out);
    result.standardError = std::move(err);
    return result;
}

// Runs one tool whose whole outcome is `result`.
std::optional<std::string> textOf(ProcessResult result, bool combined = false) {
    test::FakeProcessRunner runner;
    runner.addHandler("/usr/bin/tool", [result](const ProcessSpec&) { return result; });
    return combined ? combinedToolOutput(runner, "/usr/bin/tool", {}) : runTool(runner, "/usr/bin/tool", {});
}

TEST(ToolText, OnlyCleanSuccessfulRunsCount) {
    EXPECT_EQ(textOf(finished("  14.5\n")), "14.5");
    EXPECT_EQ(textOf(finished(" \n\t\n")), ""); // present but empty
    EXPECT_EQ(textOf(finished("printed anyway", 1)), std::nullopt);
    EXPECT_EQ(textOf(finished("\xFF\xFE")), std::nullopt);
    EXPECT_EQ(textOf(ProcessResult{}), std::nullopt); // never launched
    auto signalled = finished("partial");
    signalled.signalled = true;
    EXPECT_EQ(textOf(signalled), std::nullopt);
    auto timedOut = finished("partial");
    timedOut.timedOut = true;
    EXPECT_EQ(textOf(timedOut), std::nullopt);
}

TEST(CombinedText, BothStreamsWhateverTheStatus) {
    EXPECT_EQ(textOf(finished("", 1, "Authority=X\n"), true), "Authority=X");
    EXPECT_EQ(textOf(finished("out\n", 0, "err\n"), true), "out\nerr");
    EXPECT_EQ(textOf(finished("  \n", 0), true), std::nullopt);
    EXPECT_EQ(textOf(finished("", 0, "\xC3"), true), std::nullopt);
    auto timedOut = finished("late");
    timedOut.timedOut = true;
    EXPECT_EQ(textOf(timedOut, true), std::nullopt);
}

TEST(RunTool, PassesPathArgumentsAndLimits) {
    test::FakeProcessRunner runner;
    runner.add("/usr/bin/uname", {"-m"}, "arm64\n");
    runner.add("/usr/bin/codesign", {"-dv", "/A.app"}, "", 1, "Identifier=a\n");
    EXPECT_EQ(runTool(runner, "/usr/bin/uname", {"-m"}), "arm64");
    EXPECT_EQ(runTool(runner, "/usr/bin/missing", {}), std::nullopt);
    EXPECT_EQ(combinedToolOutput(runner, "/usr/bin/codesign", {"-dv", "/A.app"}), "Identifier=a");
    const auto calls = runner.calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_FALSE(calls[0].mergeStandardError);
    EXPECT_TRUE(calls[2].mergeStandardError);
    EXPECT_EQ(calls[0].timeLimit, toolTimeLimit);
}

} // namespace
} // namespace kova::audit
