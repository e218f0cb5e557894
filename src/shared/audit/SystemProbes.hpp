#pragma once

#include "core/Json.hpp"
#include "platform/SystemFacts.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Pure readers of the system tools' output and of platform facts, one per
// tool; running the tools is MacAuditCollector's business.
namespace kova::audit {

// The quoted value of `key` in `ioreg -rd1 -c IOPlatformExpertDevice`
// output ("IOPlatformSerialNumber" = "C02XYZ"), trimmed; may be empty.
std::optional<std::string> ioregPlatformValue(std::string_view output, std::string_view key);

struct IoregPlatform {
    std::optional<std::string> serialNumber;
    std::optional<std::string> platformUuid;
};
IoregPlatform parseIoregPlatform(std::string_view output);

// Host name, serial and platform UUID joined by "-"; unknown parts are left
// out, empty known parts are kept.
std::string buildDeviceUid(std::string_view hostname, const std::optional<std::string>& serial,
                           const std::optional<std::string>& platformUuid);

// The last space-separated piece of the OS version text ("23F79)").
std::optional<std::string> osBuild(std::string_view versionString);

// The first decimal integer after the first occurrence of `needle`.
std::optional<std::int64_t> firstMatchInteger(std::string_view text, std::string_view needle);

// Active + wired + compressor pages of `vm_stat` output times its page size
// (4096 when not stated); absent when no page is counted or the product
// does not fit.
std::optional<std::int64_t> parseVmStat(std::string_view output);

// Seconds since the epoch from `sysctl -n kern.boottime`
// ("{ sec = 1717400000, usec = 12345 } Mon Jun  3 ..."); absent when the
// text has no "sec = " followed by digits or the time cannot be represented.
std::optional<std::int64_t> parseBootTime(std::string_view output);
std::optional<std::int64_t> uptimeSeconds(std::optional<std::int64_t> bootTime,
                                          std::chrono::system_clock::time_point now);

// The one-minute load per active processor as a percentage in 0 ... 100.
std::optional<double> cpuLoadPercent(const std::vector<double>& loadAverages, std::int64_t activeProcessors);

// Whether `pmset -g batt` output names an internal battery.
bool parsePmsetBattery(std::string_view output);

// The "ether" addresses of `ifconfig -a`, upper-cased, unique, sorted.
std::vector<std::string> parseIfconfigMacAddresses(std::string_view output);

// IPv4 addresses other than loopback and link-local, unique, sorted.
std::vector<std::string> reportedIpAddresses(const std::vector<platform::InterfaceAddress>& addresses);

// The disk objects of the inventory: volumes with a known positive capacity.
Json diskObjects(const std::vector<platform::MountedVolume>& volumes);

// `system_profiler -json` output as an object; an empty object when the text
// is not JSON or its top level is not an object.
Json parseSystemProfilerJson(std::string_view output);

// The first `limit` names of a directory in the order the file system gives
// them, then sorted; empty when the directory cannot be read.
std::vector<std::string> directoryListing(const std::filesystem::path& directory, std::size_t limit);

// Whole seconds since the epoch as "2026-03-01T14:05:09Z"; absent outside the
// years 1970 ... 9999.
std::optional<std::string> iso8601FromEpochSeconds(std::int64_t seconds);

} // namespace kova::audit
