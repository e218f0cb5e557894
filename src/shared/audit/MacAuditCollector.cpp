#include "audit/MacAuditCollector.hpp"

#include "audit/Concurrency.hpp"
#include "audit/InstalledSoftware.hpp"
#include "audit/Peripherals.hpp"
#include "audit/ToolOutput.hpp"
#include "config/MacViewerBuildInfo.hpp"
#include "core/Paths.hpp"
#include "core/Time.hpp"
#include "core/ToolPaths.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>

namespace kova {
namespace {

constexpr const char* agentChannel = "macos-native";
constexpr const char* monitoringSource = "kova-viewer-macos-native";

using audit::runTool;

Json orNull(const std::optional<std::string>& text) {
    return text ? Json(*text) : Json(nullptr);
}

template <typename T> Json orNull(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}

Json stringArray(const std::vector<std::string>& values) {
    Json array = Json::array();
    for (const auto& value : values) {
        array.push_back(value);
    }
    return array;
}

std::int64_t clampedInt64(std::uint64_t value) {
    return static_cast<std::int64_t>(
        std::min<std::uint64_t>(value, static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())));
}

std::int64_t truncatedSeconds(double seconds) {
    if (!std::isfinite(seconds) || seconds <= 0) {
        return 0;
    }
    if (seconds >= 9.2e18) {
        return std::numeric_limits<std::int64_t>::max();
    }
    return static_cast<std::int64_t>(seconds);
}

Json remoteCapabilities() {
    return Json{{"screen_capture", "ScreenCaptureKit"},
                {"webrtc", "requires GoogleWebRTC XCFramework"},
                {"input", "Accessibility/Input Monitoring permissions required"},
                {"clipboard", "NSPasteboard"}};
}

} // namespace

MacAuditCollector::MacAuditCollector(ViewerSettings settings, std::shared_ptr<ProcessRunner> runner,
                                     std::shared_ptr<const platform::SystemFacts> facts)
    : settings_(std::move(settings)), runner_(std::move(runner)), facts_(std::move(facts)) {}

const std::vector<std::string>& MacAuditCollector::auditProfilerDataTypes() {
    static const std::vector<std::string> types = {"SPHardwareDataType", "SPDisplaysDataType",
                                                   "SPNetworkDataType", "SPUSBDataType",
                                                   "SPPrintersDataType"};
    return types;
}

std::size_t MacAuditCollector::softwareToolWorkers() {
    // The tools mostly wait on disk and on each other's daemons, so a few more
    // than the cores keep them busy without flooding a small machine.
    return std::clamp<std::size_t>(2 * std::max(1u, std::thread::hardware_concurrency()), 4, 8);
}

std::string MacAuditCollector::hostName() const {
    if (auto name = facts_->localizedHostName()) {
        return *name;
    }
    return facts_->processHostName();
}

std::string MacAuditCollector::loggedInUser() const {
    if (auto user = facts_->consoleUser(); user && *user != "loginwindow") {
        return *user;
    }
    return facts_->processUserName();
}

std::string MacAuditCollector::osVersion() const {
    const auto version = facts_->operatingSystemVersion();
    return std::to_string(version.major) + "." + std::to_string(version.minor) + "." +
           std::to_string(version.patch);
}

std::optional<std::string> MacAuditCollector::osBuild() const {
    return audit::osBuild(facts_->operatingSystemVersionString());
}

std::optional<std::string> MacAuditCollector::sysctlString(std::string_view name) const {
    return facts_->sysctlString(name);
}

audit::IoregPlatform MacAuditCollector::platformIdentifiers(StopToken stop) const {
    const auto output = runTool(*runner_, tools::ioreg, {"-rd1", "-c", "IOPlatformExpertDevice"}, stop);
    return audit::parseIoregPlatform(output.value_or(""));
}

std::optional<std::string> MacAuditCollector::platformValue(std::string_view key, StopToken stop) const {
    const auto output = runTool(*runner_, tools::ioreg, {"-rd1", "-c", "IOPlatformExpertDevice"}, stop);
    return audit::ioregPlatformValue(output.value_or(""), key);
}

std::string MacAuditCollector::deviceUid(StopToken stop) const {
    const auto ids = platformIdentifiers(stop);
    return audit::buildDeviceUid(hostName(), ids.serialNumber, ids.platformUuid);
}

std::optional<std::int64_t> MacAuditCollector::bootTime(StopToken stop) const {
    const auto output = runTool(*runner_, tools::sysctl, {"-n", "kern.boottime"}, stop);
    return audit::parseBootTime(output.value_or(""));
}

std::optional<std::int64_t> MacAuditCollector::memoryUsage(StopToken stop) const {
    return audit::parseVmStat(runTool(*runner_, tools::vmStat, {}, stop).value_or(""));
}

std::optional<double> MacAuditCollector::cpuLoadPercent() const {
    return audit::cpuLoadPercent(facts_->loadAverages(), facts_->activeProcessorCount());
}

std::optional<std::string> MacAuditCollector::pmsetBatteryOutput(StopToken stop) const {
    return runTool(*runner_, tools::pmset, {"-g", "batt"}, stop);
}

bool MacAuditCollector::hasBattery(StopToken stop) const {
    const auto output = pmsetBatteryOutput(stop);
    return output && audit::parsePmsetBattery(*output);
}

Json MacAuditCollector::batteryFromOutput(const std::optional<std::string>& output) const {
    return Json{{"source", "pmset"},
                {"present", output && audit::parsePmsetBattery(*output)},
                {"raw", output.value_or("")}};
}

Json MacAuditCollector::battery(StopToken stop) const {
    return batteryFromOutput(pmsetBatteryOutput(stop));
}

Json MacAuditCollector::security(StopToken stop) const {
    auto firewall = audit::startTask(
        [&] { return runTool(*runner_, tools::socketfilterfw, {"--getglobalstate"}, stop); });
    auto fileVault = audit::startTask([&] { return runTool(*runner_, tools::fdesetup, {"status"}, stop); });
    const auto sip = runTool(*runner_, tools::csrutil, {"status"}, stop);
    return Json{{"source", "macos-native"},
                {"firewall", firewall.get().value_or("unknown")},
                {"filevault", fileVault.get().value_or("unknown")},
                {"sip", sip.value_or("unknown")}};
}

Json MacAuditCollector::patches(StopToken stop) const {
    return Json{{"source", "softwareupdate"},
                {"pending_raw", runTool(*runner_, tools::softwareupdate, {"-l"}, stop).value_or("")},
                {"last_update_at", nullptr}};
}

Json MacAuditCollector::disks() const {
    const auto volumes = facts_->mountedVolumes();
    return volumes ? audit::diskObjects(*volumes) : Json::array();
}

std::vector<std::string> MacAuditCollector::ipAddresses() const {
    const auto addresses = facts_->interfaceAddresses();
    return addresses ? audit::reportedIpAddresses(*addresses) : std::vector<std::string>{};
}

std::vector<std::string> MacAuditCollector::macAddresses(StopToken stop) const {
    return audit::parseIfconfigMacAddresses(runTool(*runner_, tools::ifconfig, {"-a"}, stop).value_or(""));
}

Json MacAuditCollector::systemProfilerJson(const std::vector<std::string>& dataTypes, StopToken stop) const {
    std::vector<std::string> arguments = {"-json"};
    arguments.insert(arguments.end(), dataTypes.begin(), dataTypes.end());
    const auto output = runTool(*runner_, tools::systemProfiler, std::move(arguments), stop);
    return output ? audit::parseSystemProfilerJson(*output) : Json::object();
}

Json MacAuditCollector::auditDetails(const Json& systemProfiler, StopToken stop) const {
    auto localUsers = audit::startTask([&] { return localUsersOutput(stop); });
    const auto printers = printersOutput(stop);
    return auditBlock(systemProfiler, localUsers.get(), printers);
}

std::optional<std::string> MacAuditCollector::localUsersOutput(StopToken stop) const {
    return runTool(*runner_, tools::dscl, {".", "-list", "/Users"}, stop);
}

std::optional<std::string> MacAuditCollector::printersOutput(StopToken stop) const {
    return runTool(*runner_, tools::lpstat, {"-p"}, stop);
}

Json MacAuditCollector::auditBlock(const Json& systemProfiler, const std::optional<std::string>& localUsers,
                                   const std::optional<std::string>& printers) {
    return Json{
        {"system_profiler", systemProfiler},
        {"local_users", localUsers.value_or("")},
        {"printers", printers.value_or("")},
        {"launch_daemons", stringArray(audit::directoryListing(paths::fixed("/Library/LaunchDaemons"), 200))},
        {"launch_agents", stringArray(audit::directoryListing(paths::fixed("/Library/LaunchAgents"), 200))},
        {"remote_capabilities", remoteCapabilities()}};
}

Json MacAuditCollector::collectPeripherals(StopToken stop) const {
    return audit::collectPeripherals(
        systemProfilerJson({"SPUSBDataType", "SPDisplaysDataType", "SPPrintersDataType"}, stop));
}

Json MacAuditCollector::installedSoftware(StopToken stop) const {
    return audit::installedSoftware(*runner_, softwareToolWorkers(), stop);
}

RemoteAccessReport MacAuditCollector::remoteAccess(StopToken stop) const {
    const audit::RemoteAccessProbes probes(*runner_, *facts_);
    const auto console = probes.consoleUserContext(stop);
    auto teamViewer = audit::startTask([&] { return probes.teamViewerProbe(console, stop); });
    RemoteAccessReport report;
    report.rustDesk = probes.rustDeskProbe(console, stop);
    report.anyDesk = probes.anyDeskProbe(console);
    report.teamViewer = teamViewer.get();
    return report;
}

AuditIdentityFacts MacAuditCollector::identityFacts(StopToken stop) const {
    AuditIdentityFacts facts;
    facts.hostname = hostName();
    const auto ids = platformIdentifiers(stop);
    facts.deviceUid = audit::buildDeviceUid(facts.hostname, ids.serialNumber, ids.platformUuid);
    facts.loggedInUser = loggedInUser();
    return facts;
}

Json MacAuditCollector::collect(StopToken stop) const {
    const auto collectedAt = formatIso8601(nowSeconds());
    // Every tool below is independent of the others: start them all, then
    // read the system interfaces on this thread while they run.
    auto ids = audit::startTask([&] { return platformIdentifiers(stop); });
    auto kernel = audit::startTask([&] { return runTool(*runner_, tools::uname, {"-r"}, stop); });
    auto architecture = audit::startTask([&] { return runTool(*runner_, tools::uname, {"-m"}, stop); });
    auto memory = audit::startTask([&] { return memoryUsage(stop); });
    auto macs = audit::startTask([&] { return macAddresses(stop); });
    auto profiler = audit::startTask([&] { return systemProfilerJson(auditProfilerDataTypes(), stop); });
    auto boot = audit::startTask([&] { return bootTime(stop); });
    auto pmset = audit::startTask([&] { return pmsetBatteryOutput(stop); });
    auto securityFacts = audit::startTask([&] { return security(stop); });
    auto patchFacts = audit::startTask([&] { return patches(stop); });
    auto software = audit::startTask([&] { return installedSoftware(stop); });
    auto remote = audit::startTask([&] { return remoteAccess(stop); });
    auto localUsers = audit::startTask([&] { return localUsersOutput(stop); });
    auto printers = audit::startTask([&] { return printersOutput(stop); });

    const auto host = hostName();
    const auto user = loggedInUser();
    const auto version = osVersion();
    const auto build = osBuild();
    const auto cpu = facts_->sysctlString("machdep.cpu.brand_string");
    const auto model = facts_->sysctlString("hw.model");
    const auto cores = facts_->processorCount();
    const auto ram = clampedInt64(facts_->physicalMemoryBytes());
    auto diskList = disks();
    const auto ips = ipAddresses();

    const auto platform = ids.get();
    const auto pmsetOutput = pmset.get();
    const auto bootSeconds = boot.get();
    // Peripherals and the "audit" block share the one system-profiler run.
    const auto systemProfiler = profiler.get();

    Json payload = Json::object();
    payload["device_uid"] = audit::buildDeviceUid(host, platform.serialNumber, platform.platformUuid);
    payload["supports_device_token"] = true;
    payload["hostname"] = host;
    payload["display_name"] = host;
    payload["device_type"] = pmsetOutput && audit::parsePmsetBattery(*pmsetOutput) ? "laptop" : "workstation";
    payload["os_name"] = "macOS";
    payload["os_version"] = version;
    payload["os_build"] = build.value_or("");
    payload["kernel_version"] = kernel.get().value_or("");
    payload["architecture"] = architecture.get().value_or("");
    payload["cpu"] = cpu.value_or("");
    payload["cpu_cores"] = cores;
    payload["ram_bytes"] = ram;
    payload["ram_used_bytes"] = orNull(memory.get());
    payload["disks"] = std::move(diskList);
    payload["ip_addresses"] = stringArray(ips);
    payload["mac_addresses"] = stringArray(macs.get());
    payload["peripherals"] = audit::collectPeripherals(systemProfiler);
    payload["logged_in_user"] = user;
    payload["agent_version"] = std::string(MacViewerBuildInfo::version);
    payload["agent_channel"] = agentChannel;
    payload["serial_number"] = orNull(platform.serialNumber);
    payload["manufacturer"] = "Apple";
    payload["model"] = model.value_or("");
    payload["uptime_seconds"] = orNull(audit::uptimeSeconds(bootSeconds, std::chrono::system_clock::now()));
    payload["boot_time"] = bootSeconds ? orNull(audit::iso8601FromEpochSeconds(*bootSeconds)) : Json(nullptr);
    payload["battery"] = batteryFromOutput(pmsetOutput);
    payload["security"] = securityFacts.get();
    payload["patches"] = patchFacts.get();
    payload["monitoring"] = Json{{"source", monitoringSource}, {"collected_at", collectedAt}};
    payload["audit"] = auditBlock(systemProfiler, localUsers.get(), printers.get());
    payload["tags"] = Json::array({"macos", "kova-viewer", "native"});
    payload["status"] = "online";
    payload["health_status"] = "unknown";
    payload["software"] = software.get();

    const auto probes = remote.get();
    if (probes.rustDesk.id) {
        payload["rustdesk_id"] = *probes.rustDesk.id;
        payload["rustdeskId"] = *probes.rustDesk.id;
    }
    payload["rustdesk_status"] = probes.rustDesk.status;
    payload["rustdeskStatus"] = probes.rustDesk.status;
    if (probes.teamViewer.id) {
        payload["teamviewer_id"] = *probes.teamViewer.id;
        payload["teamviewerId"] = *probes.teamViewer.id;
    }
    if (probes.anyDesk.id) {
        payload["anydesk_id"] = *probes.anyDesk.id;
        payload["anydeskId"] = *probes.anyDesk.id;
    }
    payload["remote"] = Json{{"rustdesk", probes.rustDesk.details},
                             {"teamviewer", probes.teamViewer.details},
                             {"anydesk", probes.anyDesk.details}};
    if (settings_.hasViewerToken()) {
        payload["viewer_token"] = settings_.normalizedViewerToken();
        payload["viewerToken"] = settings_.normalizedViewerToken();
    }
    return payload;
}

Json MacAuditCollector::heartbeatPayload(const ViewerState& state, StopToken stop) const {
    auto remote = audit::startTask([&] { return remoteAccess(stop); });
    auto memory = audit::startTask([&] { return memoryUsage(stop); });
    const auto host = hostName();
    const auto uid = state.deviceUid ? *state.deviceUid : deviceUid(stop);

    Json payload = Json::object();
    payload["device_uid"] = uid;
    payload["server_assigned_id"] = orNull(state.supportId);
    payload["hostname"] = host;
    payload["status"] = "online";
    payload["health_status"] = "unknown";
    payload["agent_version"] = std::string(MacViewerBuildInfo::version);
    payload["sent_at"] = formatIso8601(nowSeconds());
    payload["logged_in_user"] = loggedInUser();
    payload["ip_addresses"] = stringArray(ipAddresses());
    payload["ram_used_bytes"] = orNull(memory.get());
    payload["cpu_load_percent"] = orNull(cpuLoadPercent());
    payload["uptime_seconds"] = truncatedSeconds(facts_->systemUptimeSeconds());
    payload["monitoring"] = Json{{"update_status", nullptr}};

    const auto probes = remote.get();
    if (probes.rustDesk.id) {
        payload["rustdesk_id"] = *probes.rustDesk.id;
    }
    if (probes.rustDesk.id || probes.rustDesk.status != "not_installed") {
        payload["rustdesk_status"] = probes.rustDesk.status;
    }
    if (probes.teamViewer.id) {
        payload["teamviewer_id"] = *probes.teamViewer.id;
    }
    if (probes.anyDesk.id) {
        payload["anydesk_id"] = *probes.anyDesk.id;
    }
    return payload;
}

} // namespace kova
