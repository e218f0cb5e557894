#include "audit/MacAuditCollector.hpp"
#include "core/Strings.hpp"
#include "core/Time.hpp"
#include "support/FakeProcessRunner.hpp"
#include "support/FakeSystemFacts.hpp"
#include "support/TempRoot.hpp"
#include "unit/audit/AuditTestSupport.hpp"

#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>

namespace kova {
namespace {

using test::macosFixture;

ProcessResult printed(std::string out, int status = 0) {
    ProcessResult r;
    r.launched = true;
    r.exitStatus = status;
    r.standardOutput = std::move(out);
    return r;
}

Json profilerReport() {
    Json report = Json::parse(macosFixture("system_profiler/usb.json"));
    report.update(Json::parse(macosFixture("system_profiler/displays.json")));
    report.update(Json::parse(macosFixture("system_profiler/printers.json")));
    report["SPHardwareDataType"] =
        Json::array({{{"_name", "hardware_overview"}, {"machine_model", "MacBookPro18,3"}}});
    report["SPNetworkDataType"] = Json::array();
    return report;
}

// A MacBook with every tool answering from the fixtures.
void fillMacBook(test::FakeProcessRunner& runner, test::FakeSystemFacts& facts) {
    facts.loadSysctlText(macosFixture("sysctl/11.0-apple-M1"));
    facts.sysctls["hw.model"] = "MacBookPro18,3";
    facts.volumes = std::vector<platform::MountedVolume>{
        {"/", std::string("Macintosh HD"), 494384795648, 120000000000, std::string("APFS"), true}};
    facts.addresses =
        std::vector<platform::InterfaceAddress>{{"lo0", platform::AddressFamily::ipv4, "127.0.0.1"},
                                                {"en0", platform::AddressFamily::ipv4, "192.168.1.15"}};
    runner.add("/usr/sbin/ioreg", {"-rd1", "-c", "IOPlatformExpertDevice"},
               macosFixture("ioreg/IOPlatformExpertDevice-macbook-pro"));
    runner.add("/usr/bin/uname", {"-r"}, "23.5.0\n");
    runner.add("/usr/bin/uname", {"-m"}, "arm64\n");
    runner.add("/usr/bin/vm_stat", {}, macosFixture("vm_stat/apple-silicon"));
    runner.add("/sbin/ifconfig", {"-a"}, macosFixture("ifconfig/macosx-01"));
    runner.add("/usr/sbin/sysctl", {"-n", "kern.boottime"}, macosFixture("kern.boottime/sonoma"));
    runner.add("/usr/bin/pmset", {"-g", "batt"}, macosFixture("pmset/macbook"));
    runner.add("/usr/libexec/ApplicationFirewall/socketfilterfw", {"--getglobalstate"},
               "Firewall is enabled. (State = 1)\n");
    runner.add("/usr/bin/fdesetup", {"status"}, "FileVault is On.\n");
    runner.add("/usr/bin/csrutil", {"status"}, "System Integrity Protection status: enabled.\n");
    runner.add("/usr/sbin/softwareupdate", {"-l"}, "Software Update Tool\n\nNo new software available.\n");
    std::vector<std::string> profilerArguments = {"-json"};
    for (const auto& type : MacAuditCollector::auditProfilerDataTypes()) {
        profilerArguments.push_back(type);
    }
    runner.add("/usr/sbin/system_profiler", profilerArguments, profilerReport().dump(2));
    runner.add("/usr/bin/dscl", {".", "-list", "/Users"}, "_www\nanna\ndaemon\nroot\n");
    runner.add("/usr/bin/dscl", {".", "-read", "/Users/anna", "NFSHomeDirectory"},
               "NFSHomeDirectory: /Users/anna\n");
    runner.add("/usr/bin/lpstat", {"-p"},
               "printer Office_LaserJet is idle.  enabled since Mon Jun  3 09:00:00 2024\n");
    runner.add("/usr/bin/id", {"-u", "anna"}, "501\n");
    runner.add("/bin/launchctl", {"print", "system/com.carriez.RustDesk_service"}, "state = running\n");
}

class Collector : public ::testing::Test {
protected:
    MacAuditCollector collector(ViewerSettings settings = {}) {
        return MacAuditCollector(std::move(settings), runner_, facts_);
    }

    test::TempRoot root_;
    std::shared_ptr<test::FakeProcessRunner> runner_ = std::make_shared<test::FakeProcessRunner>();
    std::shared_ptr<test::FakeSystemFacts> facts_ = std::make_shared<test::FakeSystemFacts>();
};

TEST_F(Collector, NoToolsAndNoFactsGiveEveryFallback) {
    *facts_ = test::FakeSystemFacts::empty();
    auto payload = collector().collect();

    ASSERT_TRUE(payload["monitoring"]["collected_at"].is_string());
    EXPECT_TRUE(parseIso8601(payload["monitoring"]["collected_at"].get<std::string>()));
    payload["monitoring"].erase("collected_at");
    const auto rustDeskApp = (root_ / "/Applications/RustDesk.app").string();
    const Json expected = {
        {"device_uid", ""},
        {"supports_device_token", true},
        {"hostname", ""},
        {"display_name", ""},
        {"device_type", "workstation"},
        {"os_name", "macOS"},
        {"os_version", "0.0.0"},
        {"os_build", ""},
        {"kernel_version", ""},
        {"architecture", ""},
        {"cpu", ""},
        {"cpu_cores", 1},
        {"ram_bytes", 0},
        {"ram_used_bytes", nullptr},
        {"disks", Json::array()},
        {"ip_addresses", Json::array()},
        {"mac_addresses", Json::array()},
        {"peripherals", Json::array()},
        {"logged_in_user", "root"},
        {"agent_version", "0.2.55"},
        {"agent_channel", "macos-native"},
        {"serial_number", nullptr},
        {"manufacturer", "Apple"},
        {"model", ""},
        {"uptime_seconds", nullptr},
        {"boot_time", nullptr},
        {"battery", {{"source", "pmset"}, {"present", false}, {"raw", ""}}},
        {"security",
         {{"source", "macos-native"}, {"firewall", "unknown"}, {"filevault", "unknown"}, {"sip", "unknown"}}},
        {"patches", {{"source", "softwareupdate"}, {"pending_raw", ""}, {"last_update_at", nullptr}}},
        {"monitoring", {{"source", "kova-viewer-macos-native"}}},
        {"audit",
         {{"system_profiler", Json::object()},
          {"local_users", ""},
          {"printers", ""},
          {"launch_daemons", Json::array()},
          {"launch_agents", Json::array()},
          {"remote_capabilities",
           {{"screen_capture", "ScreenCaptureKit"},
            {"webrtc", "requires GoogleWebRTC XCFramework"},
            {"input", "Accessibility/Input Monitoring permissions required"},
            {"clipboard", "NSPasteboard"}}}}},
        {"tags", {"macos", "kova-viewer", "native"}},
        {"status", "online"},
        {"health_status", "unknown"},
        {"software", Json::array()},
        {"rustdesk_status", "not_installed"},
        {"rustdeskStatus", "not_installed"},
        {"remote",
         {{"rustdesk",
           {{"provider", "rustdesk"},
            {"installed", false},
            {"app_path", rustDeskApp},
            {"console_user", nullptr},
            {"config_directory", nullptr},
            {"server_launch_agent_running", false},
            {"service_launch_daemon_running", false}}},
          {"teamviewer",
           {{"provider", "teamviewer"},
            {"installed", false},
            {"preference_paths",
             {(root_ / "/Library/Preferences/com.teamviewer.teamviewer.preferences.plist").string(),
              (root_ / "/Library/Preferences/com.teamviewer.teamviewer.preferences.Machine.plist")
                  .string()}}}},
          {"anydesk",
           {{"provider", "anydesk"},
            {"installed", false},
            {"configuration_paths",
             {(root_ / "/etc/anydesk/service.conf").string(),
              (root_ / "/Library/Application Support/AnyDesk/service.conf").string()}}}}}},
    };
    EXPECT_EQ(payload, expected) << payload.dump(2);
}

TEST_F(Collector, FullMachine) {
    fillMacBook(*runner_, *facts_);
    std::filesystem::create_directories(root_ / "/Applications/RustDesk.app");
    root_.write(root_ / "/Users/anna/Library/Preferences/com.carriez.RustDesk/RustDesk.toml",
                "id = '123 456 789'\n");
    root_.write(root_ / "/etc/anydesk/service.conf", macosFixture("anydesk/service.conf"));
    root_.write(root_ / "/Library/LaunchDaemons/pl.tarnvik.sekwo.daemon.plist", "x");
    ViewerSettings settings;
    settings.viewerToken = "  org-token\n";

    const auto payload = collector(settings).collect();
    EXPECT_EQ(payload["device_uid"], "Test Mac-C02ABC123XYZ-5A4C3D2E-1F00-4B6A-9C8D-7E6F5A4B3C2D");
    EXPECT_EQ(payload["hostname"], "Test Mac");
    EXPECT_EQ(payload["display_name"], "Test Mac");
    EXPECT_EQ(payload["device_type"], "laptop");
    EXPECT_EQ(payload["os_version"], "14.5.0");
    EXPECT_EQ(payload["os_build"], "23F79)");
    EXPECT_EQ(payload["kernel_version"], "23.5.0");
    EXPECT_EQ(payload["architecture"], "arm64");
    EXPECT_EQ(payload["cpu"], "Apple M1");
    EXPECT_EQ(payload["model"], "MacBookPro18,3");
    EXPECT_EQ(payload["cpu_cores"], 8);
    EXPECT_EQ(payload["ram_bytes"], 17179869184);
    EXPECT_EQ(payload["ram_used_bytes"], 14391820288);
    EXPECT_EQ(payload["ip_addresses"], Json::array({"192.168.1.15"}));
    EXPECT_EQ(payload["mac_addresses"].size(), 6u);
    EXPECT_EQ(payload["disks"][0]["name"], "Macintosh HD");
    EXPECT_EQ(payload["serial_number"], "C02ABC123XYZ");
    EXPECT_EQ(payload["logged_in_user"], "anna");
    EXPECT_EQ(payload["boot_time"], "2024-06-03T07:33:20Z");
    EXPECT_GT(payload["uptime_seconds"].get<std::int64_t>(), 0);
    EXPECT_EQ(payload["battery"]["present"], true);
    EXPECT_EQ(payload["battery"]["raw"], trimmed(macosFixture("pmset/macbook")));
    EXPECT_EQ(payload["security"]["filevault"], "FileVault is On.");
    EXPECT_EQ(payload["patches"]["pending_raw"], "Software Update Tool\n\nNo new software available.");
    EXPECT_EQ(payload["audit"]["system_profiler"], profilerReport());
    EXPECT_EQ(payload["audit"]["local_users"], "_www\nanna\ndaemon\nroot");
    EXPECT_EQ(payload["audit"]["launch_daemons"], Json::array({"pl.tarnvik.sekwo.daemon.plist"}));
    EXPECT_EQ(payload["peripherals"].size(), 13u);
    EXPECT_EQ(payload["rustdesk_id"], "123456789");
    EXPECT_EQ(payload["rustdeskId"], "123456789");
    EXPECT_EQ(payload["rustdesk_status"], "online");
    EXPECT_EQ(payload["anydesk_id"], "987654321");
    EXPECT_EQ(payload["anydeskId"], "987654321");
    EXPECT_FALSE(payload.contains("teamviewer_id"));
    EXPECT_EQ(payload["remote"]["rustdesk"]["console_user"], "anna");
    EXPECT_EQ(payload["viewer_token"], "org-token");
    EXPECT_EQ(payload["viewerToken"], "org-token");

    // One system-profiler run serves the peripherals and the audit block;
    // the console user's home is looked up once for all three probes.
    EXPECT_EQ(runner_->callCount("/usr/sbin/system_profiler"), 1u);
    EXPECT_EQ(runner_->callCount("/usr/sbin/ioreg"), 1u);
    EXPECT_EQ(runner_->callCount("/usr/bin/pmset"), 1u);
    EXPECT_EQ(runner_->callCount("/usr/bin/dscl"), 2u); // "-list /Users" and one "-read"
}

TEST_F(Collector, WhitespaceTokenAndLoginWindow) {
    facts_->console = "loginwindow";
    ViewerSettings settings;
    settings.viewerToken = " \n\t";
    const auto payload = collector(settings).collect();
    EXPECT_FALSE(payload.contains("viewer_token"));
    EXPECT_FALSE(payload.contains("viewerToken"));
    EXPECT_EQ(payload["logged_in_user"], "root");
    EXPECT_EQ(payload["hostname"], "Test Mac");
}

TEST_F(Collector, IdentityFactsMatchTheFullAudit) {
    fillMacBook(*runner_, *facts_);
    const auto audit = collector();
    const auto payload = audit.collect();
    const auto before = runner_->calls().size();
    const auto identity = audit.identityFacts();
    EXPECT_EQ(identity.deviceUid, payload["device_uid"]);
    EXPECT_EQ(identity.hostname, payload["hostname"]);
    EXPECT_EQ(identity.loggedInUser, payload["logged_in_user"]);
    const auto calls = runner_->calls();
    ASSERT_EQ(calls.size() - before, 1u);
    EXPECT_EQ(calls.back().executable, "/usr/sbin/ioreg");

    facts_->localizedName.reset();
    runner_->add("/usr/sbin/ioreg", {"-rd1", "-c", "IOPlatformExpertDevice"},
                 macosFixture("ioreg/IOPlatformExpertDevice-no-serial"));
    EXPECT_EQ(audit.identityFacts().deviceUid, "test-mac.local-564D1A2B-3C4D-5E6F-7A8B-9C0D1E2F3A4B");
}

TEST_F(Collector, HeartbeatStaysLight) {
    fillMacBook(*runner_, *facts_);
    ViewerState state;
    state.deviceUid = "stored-uid";
    state.supportId = "K-42";
    auto payload = collector().heartbeatPayload(state);
    EXPECT_TRUE(parseIso8601(payload["sent_at"].get<std::string>()));
    payload.erase("sent_at");
    const Json expected = {{"device_uid", "stored-uid"},    {"server_assigned_id", "K-42"},
                           {"hostname", "Test Mac"},        {"status", "online"},
                           {"health_status", "unknown"},    {"agent_version", "0.2.55"},
                           {"logged_in_user", "anna"},      {"ip_addresses", {"192.168.1.15"}},
                           {"ram_used_bytes", 14391820288}, {"cpu_load_percent", 25.0},
                           {"uptime_seconds", 3600},        {"monitoring", {{"update_status", nullptr}}}};
    EXPECT_EQ(payload, expected) << payload.dump(2);
    for (const char* heavy : {"/usr/sbin/system_profiler", "/usr/sbin/softwareupdate", "/usr/bin/mdls",
                              "/usr/bin/codesign", "/usr/sbin/ioreg"}) {
        EXPECT_EQ(runner_->callCount(heavy), 0u) << heavy;
    }

    // Without a stored UID the heartbeat computes it; RustDesk installed without
    // an id still reports its status.
    std::filesystem::create_directories(root_ / "/Applications/RustDesk.app");
    payload = collector().heartbeatPayload(ViewerState{});
    EXPECT_EQ(payload["device_uid"], "Test Mac-C02ABC123XYZ-5A4C3D2E-1F00-4B6A-9C8D-7E6F5A4B3C2D");
    EXPECT_EQ(payload["server_assigned_id"], nullptr);
    EXPECT_EQ(payload["rustdesk_status"], "running_no_id");
    EXPECT_FALSE(payload.contains("rustdesk_id"));
    EXPECT_FALSE(payload.contains("rustdeskStatus"));
    EXPECT_FALSE(payload.contains("remote"));
}

TEST_F(Collector, HeartbeatFallbacks) {
    *facts_ = test::FakeSystemFacts::empty();
    auto payload = collector().heartbeatPayload(ViewerState{});
    EXPECT_EQ(payload["ram_used_bytes"], nullptr);
    EXPECT_EQ(payload["cpu_load_percent"], nullptr);
    EXPECT_EQ(payload["uptime_seconds"], 0);
    EXPECT_EQ(payload["ip_addresses"], Json::array());
    EXPECT_FALSE(payload.contains("rustdesk_status")); // not installed, no id
}

TEST_F(Collector, SingleProbesRunTheirOwnTools) {
    fillMacBook(*runner_, *facts_);
    runner_->add("/usr/sbin/system_profiler",
                 {"-json", "SPUSBDataType", "SPDisplaysDataType", "SPPrintersDataType"},
                 macosFixture("system_profiler/printers.json"));
    const auto audit = collector();
    EXPECT_EQ(audit.platformValue("IOPlatformSerialNumber"), "C02ABC123XYZ");
    EXPECT_TRUE(audit.hasBattery());
    EXPECT_EQ(audit.battery()["present"], true);
    EXPECT_EQ(audit.collectPeripherals().size(), 5u);
    EXPECT_EQ(audit.macAddresses().size(), 6u);
    runner_->add("/usr/bin/pmset", {"-g", "batt"}, macosFixture("pmset/macbook"), 1);
    EXPECT_FALSE(audit.hasBattery()); // output of a failed run does not count
    EXPECT_EQ(audit.battery()["raw"], "");
}

TEST_F(Collector, SlowToolsRunSideBySide) {
    // Each of the two slow tools waits until the other one has started; run
    // one after the other they would both give up and fall back.
    std::mutex mutex;
    std::condition_variable changed;
    int started = 0;
    auto meet = [&](std::string output) {
        return [&, output](const ProcessSpec&) {
            std::unique_lock lock(mutex);
            ++started;
            changed.notify_all();
            const bool met = changed.wait_for(lock, std::chrono::seconds(10), [&] { return started >= 2; });
            return met ? printed(output) : printed("", 1);
        };
    };
    runner_->addHandler("/usr/sbin/system_profiler", meet(R"({"SPUSBDataType": []})"));
    runner_->addHandler("/usr/sbin/softwareupdate", meet("No new software available."));
    const auto payload = collector().collect();
    EXPECT_EQ(payload["audit"]["system_profiler"], (Json{{"SPUSBDataType", Json::array()}}));
    EXPECT_EQ(payload["patches"]["pending_raw"], "No new software available.");
}

} // namespace
} // namespace kova
