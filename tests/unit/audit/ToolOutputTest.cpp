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

TEST(ToolText, OnlyCleanSuccessfulRunsCount) {
    EXPECT_EQ(toolText(finished("  14.5\n")), "14.5");
    EXPECT_EQ(toolText(finished(" \n\t\n")), ""); // present but empty
    EXPECT_EQ(toolText(finished("printed anyway", 1)), std::nullopt);
    EXPECT_EQ(toolText(finished("\xFF\xFE")), std::nullopt);
    EXPECT_EQ(toolText(ProcessResult{}), std::nullopt); // never launched
    auto signalled = finished("partial");
    signalled.signalled = true;
    signalled.exitStatus = 0;
    EXPECT_EQ(toolText(signalled), std::nullopt);
    auto timedOut = finished("partial");
    timedOut.timedOut = true;
    EXPECT_EQ(toolText(timedOut), std::nullopt);
}

TEST(CombinedText, IgnoresExitStatusAndKeepsStandardError) {
    EXPECT_EQ(combinedText(finished("", 1, "Authority=X\n")), "Authority=X");
    EXPECT_EQ(combinedText(finished("out\n", 0, "err\n")), "out\nerr");
    EXPECT_EQ(combinedText(finished("  \n", 0)), std::nullopt);
    EXPECT_EQ(combinedText(finished("", 0, "\xC3")), std::nullopt);
    EXPECT_EQ(combinedText(ProcessResult{}), std::nullopt);
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
