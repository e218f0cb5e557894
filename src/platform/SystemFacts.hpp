#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace kova::platform {

struct OperatingSystemVersion {
    std::int64_t major = 0;
    std::int64_t minor = 0;
    std::int64_t patch = 0;

    bool operator==(const OperatingSystemVersion&) const = default;
};

// One mounted, user-visible volume. Every value the system could not tell is absent.
struct MountedVolume {
    std::string mountPath;
    std::optional<std::string> name;
    std::optional<std::int64_t> totalBytes;
    std::optional<std::int64_t> availableBytes;
    std::optional<std::string> formatDescription;
    std::optional<bool> internal;

    bool operator==(const MountedVolume&) const = default;
};

enum class AddressFamily { ipv4, ipv6, link };

// One address of one network interface, in numeric text form ("192.168.1.5",
// "fe80::1%en0", or "3C:22:FB:01:02:03" for a link-layer address).
struct InterfaceAddress {
    std::string interfaceName;
    AddressFamily family = AddressFamily::ipv4;
    std::string address;

    bool operator==(const InterfaceAddress&) const = default;
};

// Facts about the machine and the running process that come from system
// interfaces rather than from command-line tools. Every call asks the system
// afresh; implementations keep no mutable state, so any thread may call them.
class SystemFacts {
public:
    virtual ~SystemFacts() = default;

    // The user-facing computer name ("Anna's MacBook Pro"); absent when unset.
    virtual std::optional<std::string> localizedHostName() const = 0;
    // The network host name of the process (gethostname).
    virtual std::string processHostName() const = 0;
    // The user at the graphical console, as the system reports it (which may
    // be "loginwindow" while the login window is shown); absent when none.
    virtual std::optional<std::string> consoleUser() const = 0;
    // The user id of the user logged in at the graphical console (on macOS the
    // owner of "/dev/console"); absent when no user is (root holds the console
    // while the login window is shown).
    virtual std::optional<uid_t> consoleUserId() const = 0;
    // The user the process runs as, and that user's home directory.
    virtual std::string processUserName() const = 0;
    virtual std::optional<std::filesystem::path> processHomeDirectory() const = 0;

    virtual OperatingSystemVersion operatingSystemVersion() const = 0;
    // A human-readable version text, e.g. "Version 14.5 (Build 23F79)".
    virtual std::string operatingSystemVersionString() const = 0;

    virtual std::int64_t processorCount() const = 0;
    virtual std::int64_t activeProcessorCount() const = 0;
    virtual std::uint64_t physicalMemoryBytes() const = 0;
    // Seconds since boot.
    virtual double systemUptimeSeconds() const = 0;
    // The 1-, 5- and 15-minute load averages; fewer (or none) when the system
    // cannot tell.
    virtual std::vector<double> loadAverages() const = 0;
    // A kernel value by its sysctl name as text, trimmed; absent when unknown.
    virtual std::optional<std::string> sysctlString(std::string_view name) const = 0;

    // Mounted volumes in the system's order, hidden ones left out; absent
    // when the list itself cannot be obtained.
    virtual std::optional<std::vector<MountedVolume>> mountedVolumes() const = 0;
    // Every address of every interface; absent when enumeration fails.
    virtual std::optional<std::vector<InterfaceAddress>> interfaceAddresses() const = 0;
};

// The implementation for the machine the program runs on.
std::shared_ptr<SystemFacts> systemFacts();

// The creation (birth) time of a file or directory; absent when the file
// system does not record one or the file cannot be examined.
std::optional<std::chrono::system_clock::time_point> fileCreationTime(const std::filesystem::path& path);

// The running program's executable file; absent when the system cannot tell.
std::optional<std::filesystem::path> executablePath();

} // namespace kova::platform
