#include "process/ProcessRunner.hpp"

#include "core/Stop.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kova {
namespace {

using namespace std::chrono_literals;

ProcessSpec bash(std::string script) {
    ProcessSpec spec;
    spec.executable = "/bin/bash";
    spec.arguments = {"-c", std::move(script)};
    return spec;
}

// Every child this test binary started has been waited for: none left, not
// even a zombie.
void expectNoChildren() {
    int status = 0;
    const pid_t r = ::waitpid(-1, &status, WNOHANG);
    EXPECT_EQ(r, -1) << "an unreaped child: " << r;
    EXPECT_EQ(errno, ECHILD);
}

// Dead means gone or a zombie waiting for its new parent to reap it.
bool processAlive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidField, name, state;
    if (!(stat >> pidField >> name >> state)) {
        return false;
    }
    return state != "Z" && state != "X";
}

class ProcessRunnerTest : public ::testing::Test {
protected:
    void TearDown() override { expectNoChildren(); }
    ProcessRunner& runner = *systemProcessRunner();
};

TEST_F(ProcessRunnerTest, DrainsBothStreamsFarBeyondThePipeBuffer) {
    // Standard error fills first: a runner reading only one pipe at a time deadlocks here.
    const auto result = runner.run(bash("head -c 3000000 /dev/zero | tr '\\0' e >&2;"
                                        "head -c 4000000 /dev/zero | tr '\\0' o; exit 7"));
    ASSERT_TRUE(result.launched);
    EXPECT_FALSE(result.signalled);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 7);
    EXPECT_EQ(result.standardOutput, std::string(4000000, 'o'));
    EXPECT_EQ(result.standardError, std::string(3000000, 'e'));
}

TEST_F(ProcessRunnerTest, OutputBeyondTheLimitIsDrainedAndDropped) {
    auto spec = bash("head -c 5000000 /dev/zero | tr '\\0' o; echo done >&2");
    spec.outputLimitBytes = 1000;
    const auto result = runner.run(spec);
    EXPECT_EQ(result.exitStatus, 0); // the writer was never blocked
    EXPECT_EQ(result.standardOutput, std::string(1000, 'o'));
    EXPECT_TRUE(result.standardOutputTruncated);
    EXPECT_EQ(result.standardError, "done\n");
    EXPECT_FALSE(result.standardErrorTruncated);
}

TEST_F(ProcessRunnerTest, MergedStreamsArriveInOnePipe) {
    auto spec = bash("echo out; echo err >&2; echo out2");
    spec.mergeStandardError = true;
    const auto result = runner.run(spec);
    EXPECT_EQ(result.standardOutput, "out\nerr\nout2\n");
    EXPECT_EQ(result.standardError, "");
}

TEST_F(ProcessRunnerTest, LaunchFailureCarriesTheErrno) {
    ProcessSpec spec;
    spec.executable = "/nonexistent/tool";
    const auto result = runner.run(spec);
    EXPECT_FALSE(result.launched);
    EXPECT_EQ(result.launchError, ENOENT);
}

TEST_F(ProcessRunnerTest, ChildSeesNullInputAndNoInheritedDescriptors) {
    // A descriptor the parent opened without O_CLOEXEC must still not reach the child.
    const int leaky = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaky, 0);
    // ls lists its own descriptors: the three standard ones and the directory it reads.
    const auto result = runner.run(bash("readlink /proc/self/fd/0; ls /proc/self/fd"));
    ::close(leaky);
    EXPECT_EQ(result.standardOutput, "/dev/null\n0\n1\n2\n3\n");
}

TEST_F(ProcessRunnerTest, DiscardedOutputGoesToTheNullDevice) {
    // The child's own streams are the null device (no pipe to break once the
    // runner has returned), and nothing reaches the result.
    const auto file = ::testing::TempDir() + "discarded-streams";
    auto spec = bash("readlink /proc/$$/fd/1 /proc/$$/fd/2 > \"$0\"; echo lost; echo lost >&2; exit 3");
    spec.arguments.push_back(file);
    spec.discardOutput = true;
    const auto result = runner.run(spec);
    EXPECT_EQ(result.exitStatus, 3);
    EXPECT_EQ(result.standardOutput + result.standardError, "");
    std::ifstream written(file);
    const std::string streams((std::istreambuf_iterator<char>(written)), std::istreambuf_iterator<char>());
    EXPECT_EQ(streams, "/dev/null\n/dev/null\n");
    ::unlink(file.c_str());
}

TEST_F(ProcessRunnerTest, SignalledChildReportsTheSignalNumber) {
    const auto result = runner.run(bash("echo partial; kill -KILL $$"));
    EXPECT_TRUE(result.signalled);
    EXPECT_EQ(result.exitStatus, SIGKILL);
    EXPECT_EQ(result.standardOutput, "partial\n");
}

TEST_F(ProcessRunnerTest, TimeLimitEscalatesToKillForAChildIgnoringTerm) {
    auto spec = bash("trap '' TERM; echo started; sleep 30");
    spec.timeLimit = 300ms;
    spec.killGrace = 200ms;
    const auto result = runner.run(spec);
    EXPECT_TRUE(result.timedOut);
    EXPECT_TRUE(result.signalled);
    EXPECT_EQ(result.exitStatus, SIGKILL);
    EXPECT_EQ(result.standardOutput, "started\n");
    EXPECT_GE(result.duration, 300ms);
    EXPECT_LT(result.duration, 10s); // far from the 30 s the command wanted
}

TEST_F(ProcessRunnerTest, TimeLimitEndsTheWholeProcessGroup) {
    auto spec = bash("sleep 30 & echo $!; wait");
    spec.timeLimit = 300ms;
    const auto result = runner.run(spec);
    EXPECT_TRUE(result.timedOut);
    EXPECT_EQ(result.exitStatus, SIGTERM);
    const pid_t grandchild = std::stoi(result.standardOutput);
    std::this_thread::sleep_for(50ms); // let the kernel finish the signalled grandchild
    EXPECT_FALSE(processAlive(grandchild));
}

TEST_F(ProcessRunnerTest, BackgroundProcessHoldingThePipeDoesNotHang) {
    auto spec = bash("sleep 30 & echo $!; echo done");
    spec.drainGrace = 200ms; // no time limit at all
    const auto result = runner.run(spec);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_FALSE(result.timedOut);
    EXPECT_LT(result.duration, 10s);
    const auto lines = result.standardOutput;
    ASSERT_NE(lines.find("\ndone\n"), std::string::npos) << lines;
    const pid_t grandchild = std::stoi(lines);
    EXPECT_TRUE(processAlive(grandchild)); // left alone: it was not timed out
    ::kill(grandchild, SIGKILL);
}

TEST_F(ProcessRunnerTest, StopRequestEndsTheChildLikeATimeOut) {
    StopSource source;
    JThread stopper([&] {
        std::this_thread::sleep_for(200ms);
        source.request_stop();
    });
    const auto result = runner.run(bash("echo waiting; sleep 30"), source.get_token());
    EXPECT_FALSE(result.timedOut);
    EXPECT_TRUE(result.stopped);
    EXPECT_TRUE(result.signalled);
    EXPECT_EQ(result.exitStatus, SIGTERM);
    EXPECT_EQ(result.standardOutput, "waiting\n");
    EXPECT_LT(result.duration, 10s);
}

TEST_F(ProcessRunnerTest, AlreadyStoppedTokenStillWaitsForTheChild) {
    StopSource source;
    source.request_stop();
    const auto result = runner.run(bash("sleep 30"), source.get_token());
    EXPECT_TRUE(result.launched);
    EXPECT_TRUE(result.signalled);
    EXPECT_LT(result.duration, 10s);
}

TEST_F(ProcessRunnerTest, ConcurrentRunsKeepTheirOutputsApart) {
    std::vector<std::string> outputs(4);
    {
        std::vector<JThread> threads;
        for (std::size_t i = 0; i < outputs.size(); ++i) {
            threads.emplace_back([&, i] {
                const auto n = std::to_string(200000 + i);
                outputs[i] = runner.run(bash("head -c " + n + " /dev/zero | tr '\\0' x")).standardOutput;
            });
        }
    }
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        EXPECT_EQ(outputs[i], std::string(200000 + i, 'x'));
    }
}

} // namespace
} // namespace kova
