#include "audit/RemoteAccess.hpp"
#include "support/FakeProcessRunner.hpp"
#include "support/FakeSystemFacts.hpp"
#include "support/TempRoot.hpp"
#include "unit/audit/AuditTestSupport.hpp"

#include <gtest/gtest.h>

namespace kova::audit {
namespace {

using test::macosFixture;

TEST(RustDeskToml, IdKeysOnlyAndLongEnough) {
    EXPECT_EQ(rustDeskIdFromToml(macosFixture("rustdesk/RustDesk.toml")), std::nullopt); // only enc_id
    // "abc12" has five characters and is skipped; "1 234 567" loses its spaces.
    EXPECT_EQ(rustDeskIdFromToml(macosFixture("rustdesk/RustDesk2.toml")), "1234567");
    EXPECT_EQ(rustDeskIdFromToml("rustdesk_id = \"12-34-56\"\n"), "12-34-56");
    EXPECT_EQ(rustDeskIdFromToml("ID = '123456789'\nid='12 34;56'\n"), "123456");
    EXPECT_EQ(rustDeskIdFromToml("# id = '123456789'\nid\n"), std::nullopt);
}

TEST(ConfigId, KeysSeparatorsAndDigits) {
    EXPECT_EQ(configId(macosFixture("defaults/teamviewer-machine"), {"ClientID", "ClientId", "client_id"}),
              "1234567890");
    EXPECT_EQ(configId(macosFixture("anydesk/service.conf"), {"ad.anynet.id", "client_id", "client-id"}),
              "987654321");
    // "client-id:" counts for AnyDesk's keys, not for TeamViewer's.
    const std::string line = "client-id: 123456789\n";
    EXPECT_EQ(configId(line, {"ad.anynet.id", "client_id", "client-id"}), "123456789");
    EXPECT_EQ(configId(line, {"ClientID", "ClientId", "client_id"}), std::nullopt);
    EXPECT_EQ(configId("    ClientID = 123456789;\n", {"ClientID"}), "123456789");
    EXPECT_EQ(configId("\"ClientID\" = \"12345\";\nClientID = 123 456\n", {"ClientID"}), "123456");
    EXPECT_EQ(configId("# ClientID = 123456789\n", {"ClientID"}), std::nullopt);
}

TEST(DsclHome, FoundOrAbsent) {
    EXPECT_EQ(parseDsclHomeDirectory(macosFixture("dscl/read-nfs-home")), "/Users/anna");
    EXPECT_EQ(parseDsclHomeDirectory(macosFixture("dscl/read-nfs-home-with-space")),
              "/Volumes/Data/Home Folders/anna");
    EXPECT_EQ(parseDsclHomeDirectory(macosFixture("dscl/read-no-home")), std::nullopt);
    EXPECT_EQ(parseDsclHomeDirectory("NFSHomeDirectory:   \n"), std::nullopt);
}

class RemoteProbes : public ::testing::Test {
protected:
    RemoteProbes() {
        facts_.console = "anna";
        facts_.processUser = "root";
        runner_.add("/usr/bin/dscl", {".", "-read", "/Users/anna", "NFSHomeDirectory"},
                    macosFixture("dscl/read-nfs-home"));
    }

    std::filesystem::path home() const { return root_ / "/Users/anna"; }

    test::TempRoot root_;
    test::FakeSystemFacts facts_;
    test::FakeProcessRunner runner_;
    RemoteAccessProbes probes_{runner_, facts_};
};

TEST_F(RemoteProbes, RustDeskRemovedButConfigurationLeft) {
    root_.write(home() / "Library/Preferences/com.carriez.RustDesk/RustDesk2.toml",
                macosFixture("rustdesk/RustDesk2.toml"));
    const auto console = probes_.consoleUserContext();
    EXPECT_EQ(console.home, home());
    const auto probe = probes_.rustDeskProbe(console);
    EXPECT_EQ(probe.status, "not_installed");
    EXPECT_EQ(probe.id, "1234567");
    EXPECT_EQ(probe.details["installed"], false);
    EXPECT_EQ(probe.details["console_user"], "anna");
    EXPECT_EQ(probe.details["config_directory"],
              (home() / "Library/Preferences/com.carriez.RustDesk").string());
}

TEST_F(RemoteProbes, RustDeskStatusTable) {
    std::filesystem::create_directories(root_ / "/Applications/RustDesk.app");
    runner_.add("/usr/bin/id", {"-u", "anna"}, "501\n");
    runner_.add("/bin/launchctl", {"print", "system/com.carriez.RustDesk_service"}, "state = running\n");
    const auto console = probes_.consoleUserContext();
    EXPECT_EQ(probes_.rustDeskProbe(console).status, "running_no_id");

    root_.write(home() / "Library/Preferences/com.carriez.RustDesk/RustDesk.toml", "id = '555666777'\n");
    auto probe = probes_.rustDeskProbe(console);
    EXPECT_EQ(probe.status, "online");
    EXPECT_EQ(probe.id, "555666777");
    EXPECT_EQ(probe.details["service_launch_daemon_running"], true);
    EXPECT_EQ(probe.details["server_launch_agent_running"], false);

    // The per-user agent alone also counts as running.
    runner_.add("/bin/launchctl", {"print", "system/com.carriez.RustDesk_service"}, "state = waiting\n");
    runner_.add("/bin/launchctl", {"print", "gui/501/com.carriez.RustDesk_server"}, "\tstate = running\n");
    probe = probes_.rustDeskProbe(console);
    EXPECT_EQ(probe.status, "online");
    EXPECT_EQ(probe.details["server_launch_agent_running"], true);

    runner_.add("/bin/launchctl", {"print", "gui/501/com.carriez.RustDesk_server"}, "", 113);
    EXPECT_EQ(probes_.rustDeskProbe(console).status, "installed");
    std::filesystem::remove(home() / "Library/Preferences/com.carriez.RustDesk/RustDesk.toml");
    EXPECT_EQ(probes_.rustDeskProbe(console).status, "installed_no_id");
}

TEST_F(RemoteProbes, LoginWindowMeansNoConsoleUser) {
    facts_.console = "loginwindow";
    const auto console = probes_.consoleUserContext();
    EXPECT_EQ(console.user, std::nullopt);
    const auto rustDesk = probes_.rustDeskProbe(console);
    EXPECT_EQ(rustDesk.details["console_user"], nullptr);
    EXPECT_EQ(rustDesk.details["config_directory"], nullptr);
    EXPECT_EQ(probes_.teamViewerProbe(console).details["preference_paths"].size(), 2u);
    EXPECT_EQ(probes_.anyDeskProbe(console).details["configuration_paths"].size(), 2u);
    // Only the system service was asked about.
    for (const auto& call : runner_.calls()) {
        EXPECT_NE(call.executable, "/usr/bin/id");
        EXPECT_NE(call.executable, "/usr/bin/dscl");
    }
}

TEST_F(RemoteProbes, HomeDirectoryFallbacks) {
    facts_.processHome = std::filesystem::path("/var/root");
    EXPECT_EQ(probes_.homeDirectory("root"), std::filesystem::path("/var/root"));
    EXPECT_EQ(probes_.homeDirectory("anna"), home());
    std::filesystem::create_directories(root_ / "/Users/jan");
    EXPECT_EQ(probes_.homeDirectory("jan"), root_ / "/Users/jan"); // dscl has no answer
    EXPECT_EQ(probes_.homeDirectory("nobody-here"), std::nullopt);
    // Names that would leave /Users or read as options are not used at all.
    EXPECT_EQ(probes_.homeDirectory("../etc"), std::nullopt);
    EXPECT_EQ(probes_.homeDirectory("-x"), std::nullopt);
    EXPECT_EQ(runner_.callCount("/usr/bin/dscl"), 3u);
}

TEST_F(RemoteProbes, TeamViewerAndAnyDeskFirstIdWins) {
    root_.write(root_ / "/Library/Preferences/com.teamviewer.teamviewer.preferences.Machine.plist", "bplist");
    root_.write(home() / "Library/Preferences/com.teamviewer.teamviewer.preferences.plist", "bplist");
    const auto machine =
        (root_ / "/Library/Preferences/com.teamviewer.teamviewer.preferences.Machine.plist").string();
    runner_.add("/usr/bin/defaults", {"read", machine}, macosFixture("defaults/teamviewer-machine"));
    std::filesystem::create_directories(root_ / "/Applications/TeamViewer Host.app");
    const auto console = probes_.consoleUserContext();
    const auto teamViewer = probes_.teamViewerProbe(console);
    EXPECT_EQ(teamViewer.id, "1234567890");
    EXPECT_EQ(teamViewer.details["installed"], true);
    EXPECT_EQ(teamViewer.details["preference_paths"].size(), 3u);
    // The user's file was not read once the machine file answered; a missing file is never read.
    EXPECT_EQ(runner_.callCount("/usr/bin/defaults"), 1u);

    root_.write(home() / "Library/Application Support/AnyDesk/service.conf",
                macosFixture("anydesk/service.conf"));
    root_.write(root_ / "/etc/anydesk/service.conf", "ad.anynet.id=12345\n"); // too short
    const auto anyDesk = probes_.anyDeskProbe(console);
    EXPECT_EQ(anyDesk.id, "987654321");
    EXPECT_EQ(anyDesk.details["installed"], false);
    EXPECT_EQ(anyDesk.details["configuration_paths"][2],
              (home() / "Library/Application Support/AnyDesk/service.conf").string());
}

} // namespace
} // namespace kova::audit
