#pragma once

#include "platform/SystemFacts.hpp"

#include <map>
#include <string>
#include <string_view>

namespace kova::test {

// System facts set by the test. Public fields: fill them before handing the
// object out; afterwards it is only read, so any thread may use it.
class FakeSystemFacts : public platform::SystemFacts {
public:
    std::optional<std::string> localizedName = "Test Mac";
    std::string hostName = "test-mac.local";
    std::optional<std::string> console = "anna";
    std::optional<uid_t> consoleUid = 501;
    std::string processUser = "root";
    std::optional<std::filesystem::path> processHome = std::filesystem::path("/var/root");
    platform::OperatingSystemVersion version{14, 5, 0};
    std::string versionString = "Version 14.5 (Build 23F79)";
    std::int64_t processors = 8;
    std::int64_t activeProcessors = 8;
    std::uint64_t memoryBytes = 17179869184ULL;
    double uptime = 3600.75;
    std::vector<double> loads = {2.0, 1.5, 1.0};
    std::map<std::string, std::string, std::less<>> sysctls;
    std::optional<std::vector<platform::MountedVolume>> volumes = std::vector<platform::MountedVolume>{};
    std::optional<std::vector<platform::InterfaceAddress>> addresses =
        std::vector<platform::InterfaceAddress>{};

    // Fills `sysctls` from `sysctl -a` text ("name: value" lines).
    void loadSysctlText(std::string_view text);
    // Nothing known at all: what a machine without any of these interfaces gives.
    static FakeSystemFacts empty();

    std::optional<std::string> localizedHostName() const override { return localizedName; }
    std::string processHostName() const override { return hostName; }
    std::optional<std::string> consoleUser() const override { return console; }
    std::optional<uid_t> consoleUserId() const override { return consoleUid; }
    std::string processUserName() const override { return processUser; }
    std::optional<std::filesystem::path> processHomeDirectory() const override { return processHome; }
    platform::OperatingSystemVersion operatingSystemVersion() const override { return version; }
    std::string operatingSystemVersionString() const override { return versionString; }
    std::int64_t processorCount() const override { return processors; }
    std::int64_t activeProcessorCount() const override { return activeProcessors; }
    std::uint64_t physicalMemoryBytes() const override { return memoryBytes; }
    double systemUptimeSeconds() const override { return uptime; }
    std::vector<double> loadAverages() const override { return loads; }
    std::optional<std::string> sysctlString(std::string_view name) const override;
    std::optional<std::vector<platform::MountedVolume>> mountedVolumes() const override { return volumes; }
    std::optional<std::vector<platform::InterfaceAddress>> interfaceAddresses() const override {
        return addresses;
    }
};

} // namespace kova::test
