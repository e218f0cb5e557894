#pragma once

#include "platform/SystemFacts.hpp"

#include <map>
#include <string>
#include <string_view>

namespace kova::platform::linux_facts {

// The pure readers behind the Linux facts, kept apart so they can be tested
// against sample files.

// KEY=VALUE lines as in /etc/os-release, /etc/machine-info and the systemd
// seat files: comments and malformed lines are skipped, one level of double
// or single quotes is removed and backslash escapes inside double quotes are
// resolved.
std::map<std::string, std::string> parseKeyValueFile(std::string_view text);

// Up to three leading dotted decimal numbers ("22.04" -> 22.4.0, "6.1.0-18-amd64"
// -> 6.1.0); what is missing or unreadable counts as 0.
OperatingSystemVersion parseVersionNumbers(std::string_view text);

// The processor's marketing name from /proc/cpuinfo ("model name" on x86,
// "Model" or "Hardware" on ARM boards).
std::optional<std::string> cpuModelName(std::string_view cpuinfo);

// File systems that describe the kernel or memory rather than storage; they
// play the part of the hidden volumes of other systems.
bool isHiddenFileSystem(std::string_view type, std::string_view mountPoint);

// A sysctl name mapped to its /proc/sys file ("kernel.ostype" ->
// "kernel/ostype"); absent for names that could escape that tree.
std::optional<std::string> procSysRelativePath(std::string_view name);

class LinuxSystemFacts : public SystemFacts {
public:
    std::optional<std::string> localizedHostName() const override;
    std::string processHostName() const override;
    std::optional<std::string> consoleUser() const override;
    std::optional<uid_t> consoleUserId() const override;
    std::string processUserName() const override;
    std::optional<std::filesystem::path> processHomeDirectory() const override;
    OperatingSystemVersion operatingSystemVersion() const override;
    std::string operatingSystemVersionString() const override;
    std::int64_t processorCount() const override;
    std::int64_t activeProcessorCount() const override;
    std::uint64_t physicalMemoryBytes() const override;
    double systemUptimeSeconds() const override;
    std::vector<double> loadAverages() const override;
    std::optional<std::string> sysctlString(std::string_view name) const override;
    std::optional<std::vector<MountedVolume>> mountedVolumes() const override;
    std::optional<std::vector<InterfaceAddress>> interfaceAddresses() const override;
};

} // namespace kova::platform::linux_facts
