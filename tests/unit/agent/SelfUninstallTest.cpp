#include "agent/SelfUninstall.hpp"
#include "support/TempRoot.hpp"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kova {
namespace {

namespace fs = std::filesystem;

void append(const SelfUninstall::OpenFile& file, std::string_view text) {
    ASSERT_EQ(::write(file.get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

TEST(SelfUninstall, TheLogIsNeverWrittenThroughAPlantedName) {
    test::TempRoot root;
    const auto log = SelfUninstall::logPath();
    EXPECT_EQ(log, root.path() / "tmp/sekwo-tarnvik-uninstall.log");
    fs::create_directories(log.parent_path());
    const auto victim = root.path() / "victim";
    root.write(victim, "precious\n");

    fs::create_symlink(victim, log);
    append(SelfUninstall::openLog(log), "step 1\n");
    EXPECT_EQ(root.read(victim), "precious\n");
    EXPECT_FALSE(fs::is_symlink(log));
    EXPECT_EQ(root.read(log), "step 1\n");

    // An existing log of our own is appended to.
    append(SelfUninstall::openLog(log), "step 2\n");
    EXPECT_EQ(root.read(log), "step 1\nstep 2\n");

    // A hard link to another file, and a FIFO, are replaced too.
    fs::remove(log);
    fs::create_hard_link(victim, log);
    append(SelfUninstall::openLog(log), "x\n");
    EXPECT_EQ(root.read(victim), "precious\n");
    fs::remove(log);
    ASSERT_EQ(::mkfifo(log.c_str(), 0666), 0);
    append(SelfUninstall::openLog(log), "y\n");
    EXPECT_EQ(root.read(log), "y\n");
}

TEST(SelfUninstall, ScriptRunsEveryStepInOrder) {
    const auto script = SelfUninstall::script();
    const std::vector<std::string> steps = {
        "/bin/sleep 2",
        "bootout system '/Library/LaunchDaemons/pl.tarnvik.sekwo.daemon.plist'",
        "bootout system '/Library/LaunchDaemons/pl.wexley.kovadesk.viewer.daemon.plist'",
        "/usr/bin/stat -f %u /dev/console",
        "bootout \"gui/$console_uid\" '/Library/LaunchAgents/pl.tarnvik.sekwo.menubar.plist'",
        "bootout \"gui/$console_uid\" '/Library/LaunchAgents/pl.wexley.kovadesk.viewer.menubar.plist'",
        "/bin/rm -f '/Library/LaunchDaemons/pl.tarnvik.sekwo.daemon.plist'",
        "/bin/rm -f '/Library/LaunchAgents/pl.tarnvik.sekwo.menubar.plist'",
        "/bin/rm -f '/Library/LaunchDaemons/pl.wexley.kovadesk.viewer.daemon.plist'",
        "/bin/rm -f '/Library/LaunchAgents/pl.wexley.kovadesk.viewer.menubar.plist'",
        "/bin/rm -rf '/Applications/Sekwo Tarnvik.app'",
        "/bin/rm -rf '/Applications/Sekwo Tarnvik.localized'",
        "/bin/rm -rf '/Applications/Sekwo Classic.app'",
        "/bin/rm -rf '/Applications/Kova-Viewer.app'",
        "/bin/rm -rf '/Applications/Centrum Sekwo Tarnvik.app'",
        "/bin/rm -rf '/Library/Application Support/Sekwo Tarnvik'",
        "/bin/rm -rf '/Library/Application Support/Kova-Desk Viewer'",
        "/bin/rm -rf '/Library/Logs/Sekwo Tarnvik'",
        "/usr/sbin/pkgutil --forget pl.wexley.kovadesk.viewer",
        "/usr/sbin/pkgutil --forget pl.tarnvik.sekwo",
    };
    std::size_t at = 0;
    for (const auto& step : steps) {
        const auto found = script.find(step, at);
        ASSERT_NE(found, std::string::npos) << step;
        at = found + step.size();
    }
    EXPECT_EQ(script.find("Shared"), std::string::npos) << "chat files stay";
    EXPECT_EQ(script.find("RustDesk"), std::string::npos);
    EXPECT_TRUE(script.ends_with(") &\n")) << "the work runs in the background";
}

TEST(SelfUninstall, StartsInASessionOfItsOwnAndReturnsAtOnce) {
    test::TempRoot root;
    const auto log = root.path() / "uninstall.log";
    SelfUninstall::startDetached("( /bin/sleep 1; echo \"sid $(ps -o sid= -p $BASHPID)\"; echo done >&2 ) &",
                                 log);
    std::string text;
    EXPECT_TRUE(fs::exists(log));
    EXPECT_EQ(fs::file_size(log), 0u) << "bash returned before its background work";
    for (int i = 0; i < 100 && text.find("done") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::ifstream in(log);
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    std::istringstream words(text);
    std::string word;
    pid_t session = 0;
    words >> word >> session;
    EXPECT_EQ(word, "sid");
    EXPECT_NE(session, 0);
    EXPECT_NE(session, ::getsid(0));
    EXPECT_NE(text.find("done"), std::string::npos) << "standard error goes to the log too";
}

} // namespace
} // namespace kova
