#include "update/ViewerUpdateCoordinator.hpp"

#include "config/MacViewerBuildInfo.hpp"
#include "core/Files.hpp"
#include "core/ViewerLogger.hpp"
#include "support/TempRoot.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kova {
namespace {

namespace fs = std::filesystem;
namespace Coordinator = ViewerUpdateCoordinator;
using namespace std::chrono_literals;

mode_t modeOf(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

ViewerUpdateStatus status(std::string phase, Timestamp updatedAt) {
    return {std::move(phase), "m", "0.2.55", std::nullopt, updatedAt, std::nullopt};
}

TEST(ViewerUpdateCoordinator, StaleAndRunningLimitsByPhase) {
    const auto now = *parseIso8601("2026-03-01T12:00:00Z");
    struct Row {
        const char* phase;
        std::chrono::seconds age;
        bool stale;
        bool running;
    };
    // The last rows were planted in the future: within the clock skew they
    // count, beyond it they are stale.
    const Row rows[] = {
        {"queued", 180s, false, false},      {"queued", 181s, true, false},
        {"checking", 300s, false, true},     {"checking", 301s, true, false},
        {"downloading", 1200s, false, true}, {"downloading", 1201s, true, false},
        {"installing", 1200s, false, true},  {"installing", 1201s, true, false},
        {"failed", 99999s, false, false},    {"installed", 99999s, false, false},
        {"no_update", 0s, false, false},     {"Checking", 0s, false, false},
        {"installing", -300s, false, true},  {"installing", -301s, true, false},
        {"queued", -86400s, true, false},    {"failed", -86400s, false, false},
    };
    for (const auto& row : rows) {
        const auto s = status(row.phase, now - row.age);
        EXPECT_EQ(Coordinator::isStale(s, now), row.stale) << row.phase << " " << row.age.count();
        EXPECT_EQ(Coordinator::isRunning(s, now), row.running) << row.phase << " " << row.age.count();
    }
}

TEST(ViewerUpdateCoordinator, StatusFileFormatModesAndStaleReplacement) {
    test::TempRoot root;
    EXPECT_FALSE(Coordinator::readStatus()) << "no file";
    auto s = status("no_update", *parseIso8601("2026-03-01T12:00:00Z"));
    Coordinator::writeStatus(s);
    EXPECT_EQ(root.read(Coordinator::statusPath()),
              "{\n  \"currentVersion\": \"0.2.55\",\n  \"message\": \"m\",\n  \"phase\": \"no_update\",\n"
              "  \"updatedAt\": \"2026-03-01T12:00:00Z\"\n}\n");
    EXPECT_EQ(modeOf(Coordinator::runtimeDirectory()), 01777u);
    EXPECT_EQ(modeOf(Coordinator::statusPath()), 0666u);
    EXPECT_EQ(Coordinator::readStatus(), s);

    // An old download is reported, and written back, as a failed update.
    s = {"downloading", "x", "0.1", "0.3", nowSeconds() - 1201s, "/l.log"};
    Coordinator::writeStatus(s);
    const auto replaced = Coordinator::readStatus();
    ASSERT_TRUE(replaced);
    EXPECT_EQ(replaced->phase, "failed");
    EXPECT_EQ(replaced->message, "Poprzednia aktualizacja nie zakończyła pracy. Kliknij „Sprawdź teraz”, aby "
                                 "ponowić aktualizację.");
    EXPECT_EQ(replaced->currentVersion, MacViewerBuildInfo::version);
    EXPECT_EQ(replaced->availableVersion, "0.3");
    EXPECT_EQ(replaced->logPath, "/l.log");
    EXPECT_LE(nowSeconds() - replaced->updatedAt, 2s);
    EXPECT_EQ(ViewerUpdateStatus::decode(root.read(Coordinator::statusPath())), *replaced);

    for (const char* bad :
         {"{", R"({"phase":"queued","message":"m","currentVersion":"1"})",
          R"({"phase":"queued","message":"m","currentVersion":"1","updatedAt":"yesterday"})"}) {
        root.write(Coordinator::statusPath(), bad);
        EXPECT_FALSE(Coordinator::readStatus()) << bad;
        EXPECT_EQ(root.read(Coordinator::statusPath()), bad) << "left as it is";
    }
}

TEST(ViewerUpdateCoordinator, DailyClaim) {
    test::TempRoot root;
    const auto t = *parseIso8601("2026-03-01T12:00:00Z");
    EXPECT_TRUE(Coordinator::claimDailyAutomaticCheck(t));
    EXPECT_EQ(root.read(Coordinator::lastAutomaticCheckPath()), "\"2026-03-01T12:00:00Z\"\n");
    EXPECT_EQ(modeOf(Coordinator::lastAutomaticCheckPath()), 0666u);
    EXPECT_FALSE(Coordinator::claimDailyAutomaticCheck(t + 1s));
    EXPECT_FALSE(Coordinator::claimDailyAutomaticCheck(t + 86399s));
    EXPECT_TRUE(Coordinator::claimDailyAutomaticCheck(t + 86400s));
    EXPECT_EQ(root.read(Coordinator::lastAutomaticCheckPath()), "\"2026-03-02T12:00:00Z\"\n");

    // A last check in the future beyond the clock skew counts as never checked.
    root.write(Coordinator::lastAutomaticCheckPath(), "\"2026-03-02T12:05:00Z\"");
    EXPECT_FALSE(Coordinator::claimDailyAutomaticCheck(t + 86400s));
    root.write(Coordinator::lastAutomaticCheckPath(), "\"2099-01-01T00:00:00Z\"");
    EXPECT_TRUE(Coordinator::claimDailyAutomaticCheck(t + 86400s));

    for (const char* garbage : {"garbage", "{\"at\": \"2026-03-02T12:00:00Z\"}", "\"not a date\""}) {
        root.write(Coordinator::lastAutomaticCheckPath(), garbage);
        EXPECT_TRUE(Coordinator::claimDailyAutomaticCheck(t)) << garbage;
        EXPECT_EQ(root.read(Coordinator::lastAutomaticCheckPath()), "\"2026-03-01T12:00:00Z\"\n");
    }

    // A runtime path that cannot be a directory: logged, no claim.
    fs::remove_all(Coordinator::runtimeDirectory());
    root.write(Coordinator::runtimeDirectory(), "a file");
    EXPECT_FALSE(Coordinator::claimDailyAutomaticCheck(t));
    EXPECT_NE(root.read(ViewerLogger::logFile()).find("Automatic update check timestamp write failed: "),
              std::string::npos);
}

TEST(ViewerUpdateCoordinator, ManualRequestDroppedAndConsumed) {
    test::TempRoot root;
    EXPECT_FALSE(Coordinator::consumeManualRequest());
    EXPECT_FALSE(fs::exists(Coordinator::runtimeDirectory())) << "nothing touched without a request";

    const auto request = Coordinator::requestManualCheck();
    EXPECT_EQ(request.id.size(), 36u);
    EXPECT_EQ(request.id, [&] {
        auto upper = request.id;
        for (auto& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return upper;
    }());
    EXPECT_EQ(request.currentVersion, MacViewerBuildInfo::version);
    const auto text = root.read(Coordinator::requestPath());
    EXPECT_LT(text.find("\"currentVersion\""), text.find("\"id\""));
    EXPECT_LT(text.find("\"id\""), text.find("\"requestedAt\""));
    EXPECT_EQ(Coordinator::consumeManualRequest(), request);
    EXPECT_FALSE(fs::exists(Coordinator::requestPath()));

    root.write(Coordinator::requestPath(), "{not json");
    EXPECT_FALSE(Coordinator::consumeManualRequest());
    EXPECT_FALSE(fs::exists(Coordinator::requestPath())) << "an invalid request is deleted";
}

// Any local user can create entries in the runtime directory: root must
// neither write through nor read through what they plant.
TEST(ViewerUpdateCoordinator, PlantedLinksAreReplacedNotFollowed) {
    test::TempRoot root;
    Coordinator::ensureRuntimeDirectory();
    const auto victim = root.path() / "victim";
    root.write(victim, "precious");
    ::chmod(victim.c_str(), 0600);
    for (const auto& link : {Coordinator::statusPath(), Coordinator::lastAutomaticCheckPath()}) {
        fs::create_symlink(victim, link);
    }
    EXPECT_FALSE(Coordinator::readStatus()) << "a link is not read";
    EXPECT_TRUE(Coordinator::claimDailyAutomaticCheck(nowSeconds()));
    Coordinator::writeStatus(status("checking", nowSeconds()));
    EXPECT_EQ(root.read(victim), "precious");
    EXPECT_EQ(modeOf(victim), 0600u);
    EXPECT_FALSE(fs::is_symlink(Coordinator::statusPath()));
    EXPECT_FALSE(fs::is_symlink(Coordinator::lastAutomaticCheckPath()));

    fs::create_symlink(victim, Coordinator::requestPath());
    EXPECT_FALSE(Coordinator::consumeManualRequest());
    EXPECT_TRUE(fs::exists(victim));
    EXPECT_FALSE(fs::exists(fs::symlink_status(Coordinator::requestPath())));

    // A link in place of the directory itself is refused, not chmodded.
    const auto elsewhere = root.path() / "elsewhere";
    fs::create_directory(elsewhere);
    ::chmod(elsewhere.c_str(), 0755);
    fs::remove_all(Coordinator::runtimeDirectory());
    fs::create_directory_symlink(elsewhere, Coordinator::runtimeDirectory());
    EXPECT_THROW(Coordinator::ensureRuntimeDirectory(), std::system_error);
    EXPECT_EQ(modeOf(elsewhere), 0755u);
}

// The menu bar runs as the user and does not own the root-created directory.
TEST(ViewerUpdateCoordinator, NonRootCallerUsesRootOwnedDirectory) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to create the root-owned directory";
    }
    test::TempRoot root;
    Coordinator::ensureRuntimeDirectory();
    for (auto dir = Coordinator::runtimeDirectory().parent_path(); dir != root.path().parent_path();
         dir = dir.parent_path()) {
        ::chmod(dir.c_str(), 0755);
    }
    const auto asNobody = [](auto body) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
            ::_exit(dropped ? body() : 99);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(asNobody([] {
                  try {
                      Coordinator::requestManualCheck();
                      return 0;
                  } catch (const std::exception&) {
                      return 1;
                  }
              }),
              0);
    EXPECT_TRUE(Coordinator::consumeManualRequest());

    // Root's status cannot be replaced by a user in the sticky directory; the
    // world-writable file is rewritten in place instead.
    Coordinator::writeStatus(status("installed", nowSeconds()));
    EXPECT_EQ(asNobody([] {
                  Coordinator::writeStatus(status("queued", nowSeconds()));
                  return 0;
              }),
              0);
    EXPECT_EQ(Coordinator::readStatus()->phase, "queued");

    ::chmod(Coordinator::runtimeDirectory().c_str(), 0755);
    EXPECT_EQ(asNobody([] {
                  try {
                      Coordinator::ensureRuntimeDirectory();
                      return 0;
                  } catch (const std::system_error& e) {
                      return e.code().value() == EPERM ? 1 : 2;
                  }
              }),
              1)
        << "a directory with another mode cannot be fixed by a user";
}

} // namespace
} // namespace kova
