#pragma once

#include "audit/RemoteAccess.hpp"
#include "audit/SystemProbes.hpp"
#include "config/ViewerSettings.hpp"
#include "config/ViewerState.hpp"
#include "core/Json.hpp"
#include "core/Stop.hpp"
#include "platform/SystemFacts.hpp"
#include "process/ProcessRunner.hpp"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kova {

// The three values the agent's identity needs, exactly as a full audit
// would report them under "device_uid", "hostname" and "logged_in_user".
struct AuditIdentityFacts {
    std::string deviceUid;
    std::string hostname;
    std::string loggedInUser;

    bool operator==(const AuditIdentityFacts&) const = default;
};

// The remote-access probes of one report.
struct RemoteAccessReport {
    audit::RustDeskProbe rustDesk;
    audit::RemoteDesktopProbe teamViewer;
    audit::RemoteDesktopProbe anyDesk;
};

// Gathers what the daemon reports about this Mac: the full inventory
// (collect), the small heartbeat, and the identity facts. Every call measures
// afresh and runs its independent tools side by side; the collector holds
// only its settings copy and its collaborators, so any thread may call it,
// also several at once. The calls block while the tools run; a stop request
// ends the running tools, whose facts then take their fallbacks.
class MacAuditCollector {
public:
    // The product's collector: the system's process runner and facts.
    explicit MacAuditCollector(ViewerSettings settings);
    MacAuditCollector(ViewerSettings settings, std::shared_ptr<ProcessRunner> runner,
                      std::shared_ptr<const platform::SystemFacts> facts);

    // The full inventory. Never fails: each fact that cannot be had takes its fallback.
    Json collect(StopToken stop = {}) const;
    // The heartbeat; runs neither the system profiler, nor softwareupdate,
    // nor the software scan.
    Json heartbeatPayload(const ViewerState& state, StopToken stop = {}) const;
    // Host name, device UID and console user without the rest of the audit.
    AuditIdentityFacts identityFacts(StopToken stop = {}) const;

    // The probes behind the payloads.
    std::string hostName() const;
    std::string loggedInUser() const;
    std::string osVersion() const;
    std::optional<std::string> osBuild() const;
    std::optional<std::string> sysctlString(std::string_view name) const;
    // Serial number and platform UUID from one ioreg run.
    audit::IoregPlatform platformIdentifiers(StopToken stop = {}) const;
    std::optional<std::string> platformValue(std::string_view key, StopToken stop = {}) const;
    std::string deviceUid(StopToken stop = {}) const;
    std::optional<std::int64_t> bootTime(StopToken stop = {}) const;
    std::optional<std::int64_t> memoryUsage(StopToken stop = {}) const;
    std::optional<double> cpuLoadPercent() const;
    std::optional<std::string> pmsetBatteryOutput(StopToken stop = {}) const;
    bool hasBattery(StopToken stop = {}) const;
    Json battery(StopToken stop = {}) const;
    Json security(StopToken stop = {}) const;
    Json patches(StopToken stop = {}) const;
    Json disks() const;
    std::vector<std::string> ipAddresses() const;
    std::vector<std::string> macAddresses(StopToken stop = {}) const;
    Json systemProfilerJson(const std::vector<std::string>& dataTypes, StopToken stop = {}) const;
    // The "audit" block around an already collected system-profiler object.
    Json auditDetails(const Json& systemProfiler, StopToken stop = {}) const;
    Json collectPeripherals(StopToken stop = {}) const;
    Json installedSoftware(StopToken stop = {}) const;
    RemoteAccessReport remoteAccess(StopToken stop = {}) const;

    // The data types of the one system-profiler run of an inventory: those
    // of the "audit" block, which include those of the peripherals.
    static const std::vector<std::string>& auditProfilerDataTypes();
    // How many bundles have their publisher tools running at once.
    static std::size_t softwareToolWorkers();

private:
    Json batteryFromOutput(const std::optional<std::string>& output) const;
    std::optional<std::string> localUsersOutput(StopToken stop) const;
    std::optional<std::string> printersOutput(StopToken stop) const;
    static Json auditBlock(const Json& systemProfiler, const std::optional<std::string>& localUsers,
                           const std::optional<std::string>& printers);

    const ViewerSettings settings_;
    std::shared_ptr<ProcessRunner> runner_;
    std::shared_ptr<const platform::SystemFacts> facts_;
};

} // namespace kova
