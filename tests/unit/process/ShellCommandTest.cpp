#include "process/ShellCommand.hpp"
#include "core/Errors.hpp"
#include "core/Stop.hpp"
#include "support/FakeProcessRunner.hpp"

#include <csignal>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <system_error>

namespace kova {
namespace {

using namespace std::chrono_literals;

const std::string marker = "\n...[output truncated by Sekwo Tarnvik]...";

// Records the ProcessSpec of each run and answers with the given streams.
struct Recorder {
    test::FakeProcessRunner fake;
    explicit Recorder(std::string out = {}, std::string err = {}) {
        for (const char* shell : {"/bin/zsh", "/bin/bash", "/bin/sh"}) {
            fake.addHandler(shell, [out, err](const ProcessSpec&) {
                ProcessResult r;
                r.launched = true;
                r.exitStatus = 0;
                r.standardOutput = out;
                r.standardError = err;
                return r;
            });
        }
    }
    ProcessSpec only() const {
        const auto calls = fake.calls();
        EXPECT_EQ(calls.size(), 1u);
        return calls.empty() ? ProcessSpec{} : calls.front();
    }
};

void expectShellError(const Json& payload, const std::string& description) {
    test::FakeProcessRunner fake;
    try {
        executeShell(fake, payload);
        ADD_FAILURE() << "no error for " << payload.dump();
    } catch (const DomainError& e) {
        EXPECT_EQ(e.domain(), "KovaViewerShell");
        EXPECT_EQ(e.code(), 400);
        EXPECT_EQ(e.description(), description);
    }
    EXPECT_TRUE(fake.calls().empty()) << "nothing may start for " << payload.dump();
}

TEST(ShellCommand, ResolvesTheShellCaseAndSpaceInsensitively) {
    Recorder r;
    const auto result = executeShell(r.fake, {{"shell", "  BASH \n"}, {"command", "  echo hi"}});
    const auto spec = r.only();
    EXPECT_EQ(spec.executable, "/bin/bash");
    // The command goes to the shell exactly as received, leading spaces included.
    EXPECT_EQ(spec.arguments, (std::vector<std::string>{"-lc", "  echo hi"}));
    EXPECT_EQ(result["shell"], "bash");
    EXPECT_EQ(result["executable"], "/bin/bash");
    EXPECT_EQ(result["command"], "  echo hi");

    // Absent or not a string: zsh.
    for (const Json& payload : {Json{{"command", "true"}}, Json{{"command", "true"}, {"shell", 5}},
                                Json{{"command", "true"}, {"shell", nullptr}}}) {
        Recorder d;
        EXPECT_EQ(executeShell(d.fake, payload)["executable"], "/bin/zsh") << payload.dump();
    }
    Recorder s;
    EXPECT_EQ(executeShell(s.fake, {{"shell", "Sh"}, {"command", "true"}})["executable"], "/bin/sh");
}

TEST(ShellCommand, RejectsBadPayloadsBeforeStartingAnything) {
    expectShellError({{"shell", " FISH "}, {"command", "ls"}}, "Unsupported macOS shell: fish");
    expectShellError({{"shell", "ZSHÉ"}, {"command", "ls"}}, "Unsupported macOS shell: zshé");
    expectShellError({{"shell", ""}, {"command", "ls"}}, "Unsupported macOS shell: ");
    // The shell is checked first.
    expectShellError({{"shell", "csh"}}, "Unsupported macOS shell: csh");
    expectShellError(Json::object(), "Command cannot be empty.");
    expectShellError({{"command", " \n\t "}}, "Command cannot be empty.");
    expectShellError({{"command", 42}}, "Command cannot be empty.");
    expectShellError({{"command", nullptr}}, "Command cannot be empty.");
    expectShellError(Json::array(), "Command cannot be empty.");
}

TEST(ShellCommand, ClampsTheTimeLimit) {
    const std::vector<std::pair<Json, std::chrono::milliseconds>> cases = {
        {Json(), 60s},      {Json(0), 1s},    {Json(1000), 300s}, {Json("30"), 30s}, {Json(-5), 1s},
        {Json("abc"), 60s}, {Json(2.5), 60s}, {Json(true), 60s},  {Json(45.0), 45s},
    };
    for (const auto& [value, expected] : cases) {
        Recorder r;
        Json payload = {{"command", "true"}};
        if (!value.is_null()) {
            payload["timeout_seconds"] = value;
        }
        executeShell(r.fake, payload);
        const auto spec = r.only();
        ASSERT_TRUE(spec.timeLimit.has_value());
        EXPECT_EQ(*spec.timeLimit, expected) << value.dump();
        EXPECT_EQ(spec.killGrace, 300ms);
    }
}

TEST(ShellCommand, TruncatesEachStreamByCharacters) {
    struct Case {
        std::string output;
        Json limit;
        std::string expected;
    };
    const std::string combining = "e\xCC\x81"; // one character, three bytes
    std::string thousandCombining, thousandAndOneCombining;
    for (int i = 0; i < 1000; ++i) {
        thousandCombining += combining;
    }
    thousandAndOneCombining = thousandCombining + combining;
    std::string crlf; // "\r\n" is one character
    for (int i = 0; i < 1000; ++i) {
        crlf += "\r\n";
    }
    const std::vector<Case> cases = {
        {std::string(200000, 'a'), Json(), std::string(200000, 'a')},
        {std::string(250000, 'a'), Json(), std::string(200000, 'a') + marker},
        {std::string(1001, 'a'), Json(10), std::string(1000, 'a') + marker}, // limit raised to 1000
        {thousandCombining, Json(1000), thousandCombining},
        {thousandAndOneCombining, Json("1000"), thousandCombining + marker},
        {std::string(600000, 'z'), Json(9999999), std::string(500000, 'z') + marker},
        {crlf + "x", Json(1000), crlf + marker},
        {"\r" + crlf.substr(2), Json(1000), "\r" + crlf.substr(2)},
        {"\r" + crlf, Json(1000), "\r" + crlf.substr(2) + marker},
        {"valid start \xFF\xFE", Json(), ""},
        {"", Json(), ""},
    };
    for (const auto& c : cases) {
        Recorder r(c.output, c.output);
        Json payload = {{"command", "true"}};
        if (!c.limit.is_null()) {
            payload["max_output_chars"] = c.limit;
        }
        const auto result = executeShell(r.fake, payload);
        EXPECT_EQ(result["stdout"].get<std::string>(), c.expected) << c.output.size() << " bytes";
        EXPECT_EQ(result["stderr"].get<std::string>(), c.expected) << c.output.size() << " bytes";
    }
}

TEST(ShellCommand, OutputIsHeldByBytesAndCutStreamsAreMarked) {
    const std::string mark = "\xCC\x81";
    std::string endless = "a";
    for (int i = 0; i < 5000; ++i) {
        endless += mark;
    }
    test::FakeProcessRunner fake;
    fake.addHandler("/bin/zsh", [&](const ProcessSpec& spec) {
        // The runner keeps at most the limit and says it dropped the rest.
        EXPECT_EQ(spec.outputLimitBytes, 8000u);
        ProcessResult r;
        r.launched = true;
        r.standardOutput = endless.substr(0, spec.outputLimitBytes);
        r.standardOutputTruncated = true;
        r.standardError = std::string(spec.outputLimitBytes, 'e');
        r.standardErrorTruncated = true;
        return r;
    });
    const auto result = executeShell(fake, {{"command", "x"}, {"max_output_chars", 1000}});
    // One character that is too long: kept up to the last whole code point, then marked.
    EXPECT_EQ(result["stdout"].get<std::string>(), endless.substr(0, 7999) + marker);
    EXPECT_EQ(result["stderr"].get<std::string>(), std::string(1000, 'e') + marker);
}

TEST(ShellCommand, LaunchFailureIsThePlatformError) {
    test::FakeProcessRunner fake; // knows no executable: ENOENT
    try {
        executeShell(fake, {{"command", "true"}});
        ADD_FAILURE() << "no error";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT);
    }
}

TEST(ShellCommand, RunsARealShellAndReportsEveryKey) {
    const Json payload = {{"shell", "bash"}, {"command", "echo out; echo err >&2; exit 3"}};
    const auto result = executeShell(payload);
    ASSERT_EQ(result.size(), 10u) << result.dump();
    EXPECT_EQ(result["platform"], "macos");
    EXPECT_EQ(result["exit_code"], 3);
    EXPECT_EQ(result["stdout"], "out\n");
    EXPECT_EQ(result["stderr"], "err\n");
    EXPECT_EQ(result["timed_out"], false);
    EXPECT_TRUE(result["duration_ms"].is_number_integer());
    EXPECT_GE(result["duration_ms"].get<std::int64_t>(), 0);
    EXPECT_THAT(result["completed_at"].get<std::string>(),
                ::testing::MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z"));

    // The default shell is a real zsh.
    EXPECT_NE(executeShell({{"command", "echo $ZSH_VERSION"}})["stdout"], "\n");
}

TEST(ShellCommand, TimedOutCommandKeepsItsEarlierOutput) {
    const auto result = executeShell(
        {{"shell", "sh"}, {"command", "echo before; sleep 30; echo after"}, {"timeout_seconds", 0}});
    EXPECT_EQ(result["timed_out"], true);
    EXPECT_EQ(result["exit_code"], SIGTERM);
    EXPECT_EQ(result["stdout"], "before\n");
    EXPECT_GE(result["duration_ms"].get<std::int64_t>(), 1000);
}

TEST(ShellCommand, StopRequestEndsTheCommandAsInterrupted) {
    StopSource source;
    source.request_stop(); // daemon shutting down
    try {
        executeShell({{"shell", "sh"}, {"command", "sleep 30"}}, source.get_token());
        ADD_FAILURE() << "an interrupted command must not look completed";
    } catch (const DomainError& e) {
        EXPECT_EQ(e.domain(), "KovaViewerShell");
        EXPECT_EQ(e.code(), 503);
        EXPECT_EQ(e.description(), "The command was interrupted because the agent stopped.");
    }
}

} // namespace
} // namespace kova
