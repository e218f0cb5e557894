#include "platform/SystemFacts.hpp"
#include "platform/darwin/CFPtr.hpp"
#include "platform/posix/InterfaceList.hpp"

#include <CoreFoundation/CoreFoundation.h>
#include <SystemConfiguration/SystemConfiguration.h>

#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mach-o/dyld.h>
#include <memory>
#include <net/if_dl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysctl.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace kova::platform {
namespace {

std::string trimmedText(std::string text) {
    constexpr std::string_view space = " \t\r\n\v\f";
    const auto begin = text.find_first_not_of(space);
    if (begin == std::string::npos) {
        return {};
    }
    const auto end = text.find_last_not_of(space);
    return text.substr(begin, end - begin + 1);
}

template <typename T> std::optional<T> sysctlValue(const char* name) {
    T value{};
    std::size_t size = sizeof value;
    if (::sysctlbyname(name, &value, &size, nullptr, 0) != 0 || size != sizeof value) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> rawSysctlString(const std::string& name) {
    std::size_t size = 0;
    if (::sysctlbyname(name.c_str(), nullptr, &size, nullptr, 0) != 0 || size == 0) {
        return std::nullopt;
    }
    std::vector<char> buffer(size + 1, '\0');
    if (::sysctlbyname(name.c_str(), buffer.data(), &size, nullptr, 0) != 0) {
        return std::nullopt;
    }
    return trimmedText(std::string(buffer.data()));
}

OperatingSystemVersion parseProductVersion(const std::string& text) {
    OperatingSystemVersion version;
    std::int64_t* parts[] = {&version.major, &version.minor, &version.patch};
    std::size_t i = 0;
    for (auto* part : parts) {
        std::size_t end = i;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9' && end - i < 9) {
            ++end;
        }
        if (end == i) {
            break;
        }
        *part = std::strtoll(text.substr(i, end - i).c_str(), nullptr, 10);
        if (end >= text.size() || text[end] != '.') {
            break;
        }
        i = end + 1;
    }
    return version;
}

passwd* currentPasswd(std::vector<char>& buffer, passwd& entry) {
    passwd* result = nullptr;
    buffer.resize(16384);
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &result) != 0) {
        return nullptr;
    }
    return result;
}

class DarwinSystemFacts : public SystemFacts {
public:
    std::optional<std::string> localizedHostName() const override {
        CFPtr<CFStringRef> name(SCDynamicStoreCopyComputerName(nullptr, nullptr));
        auto text = fromCFString(name.get());
        if (!text || text->empty()) {
            return std::nullopt;
        }
        return text;
    }

    std::string processHostName() const override {
        std::array<char, 1024> buffer{};
        if (::gethostname(buffer.data(), buffer.size() - 1) != 0) {
            return {};
        }
        return buffer.data();
    }

    std::optional<std::string> consoleUser() const override {
        CFPtr<CFStringRef> user(SCDynamicStoreCopyConsoleUser(nullptr, nullptr, nullptr));
        return fromCFString(user.get());
    }

    std::optional<uid_t> consoleUserId() const override {
        struct stat st {};
        if (::stat("/dev/console", &st) != 0 || st.st_uid == 0) {
            return std::nullopt;
        }
        return st.st_uid;
    }

    std::string processUserName() const override {
        std::vector<char> buffer;
        passwd entry{};
        if (auto* pw = currentPasswd(buffer, entry); pw != nullptr && pw->pw_name != nullptr) {
            return pw->pw_name;
        }
        return std::to_string(::geteuid());
    }

    std::optional<std::filesystem::path> processHomeDirectory() const override {
        std::vector<char> buffer;
        passwd entry{};
        if (auto* pw = currentPasswd(buffer, entry); pw != nullptr && pw->pw_dir != nullptr && *pw->pw_dir) {
            return std::filesystem::path(pw->pw_dir);
        }
        return std::nullopt;
    }

    OperatingSystemVersion operatingSystemVersion() const override {
        const auto product = rawSysctlString("kern.osproductversion");
        return product ? parseProductVersion(*product) : OperatingSystemVersion{};
    }

    std::string operatingSystemVersionString() const override {
        const auto product = rawSysctlString("kern.osproductversion");
        const auto build = rawSysctlString("kern.osversion");
        std::string text = "Version " + product.value_or("");
        if (build && !build->empty()) {
            text += " (Build " + *build + ")";
        }
        return text;
    }

    std::int64_t processorCount() const override { return sysctlValue<int>("hw.ncpu").value_or(1); }
    std::int64_t activeProcessorCount() const override {
        return sysctlValue<int>("hw.activecpu").value_or(1);
    }
    std::uint64_t physicalMemoryBytes() const override {
        return sysctlValue<std::uint64_t>("hw.memsize").value_or(0);
    }

    double systemUptimeSeconds() const override {
        return static_cast<double>(::clock_gettime_nsec_np(CLOCK_UPTIME_RAW)) / 1e9;
    }

    std::vector<double> loadAverages() const override {
        std::array<double, 3> loads{};
        const int n = ::getloadavg(loads.data(), 3);
        return n > 0 ? std::vector<double>(loads.begin(), loads.begin() + n) : std::vector<double>{};
    }

    std::optional<std::string> sysctlString(std::string_view name) const override {
        return rawSysctlString(std::string(name));
    }

    std::optional<std::vector<MountedVolume>> mountedVolumes() const override {
        const void* keyValues[] = {kCFURLVolumeNameKey, kCFURLVolumeTotalCapacityKey,
                                   kCFURLVolumeAvailableCapacityKey,
                                   kCFURLVolumeLocalizedFormatDescriptionKey, kCFURLVolumeIsInternalKey};
        CFPtr<CFArrayRef> keys(CFArrayCreate(kCFAllocatorDefault, keyValues, 5, &kCFTypeArrayCallBacks));
        if (!keys) {
            return std::nullopt;
        }
        CFPtr<CFURLEnumeratorRef> enumerator(CFURLEnumeratorCreateForMountedVolumes(
            kCFAllocatorDefault, kCFURLEnumeratorSkipInvisibles, keys.get()));
        if (!enumerator) {
            return std::nullopt;
        }
        std::vector<MountedVolume> volumes;
        for (;;) {
            CFURLRef url = nullptr; // owned by the enumerator
            const auto step = CFURLEnumeratorGetNextURL(enumerator.get(), &url, nullptr);
            if (step == kCFURLEnumeratorEnd) {
                break;
            }
            if (step != kCFURLEnumeratorSuccess || url == nullptr) {
                continue;
            }
            CFPtr<CFDictionaryRef> values(CFURLCopyResourcePropertiesForKeys(url, keys.get(), nullptr));
            std::array<UInt8, PATH_MAX> path{};
            if (!values || !CFURLGetFileSystemRepresentation(url, true, path.data(), path.size())) {
                continue;
            }
            MountedVolume volume;
            volume.mountPath = reinterpret_cast<const char*>(path.data());
            volume.name = fromCFString(CFDictionaryGetValue(values.get(), kCFURLVolumeNameKey));
            volume.totalBytes =
                fromCFNumber(CFDictionaryGetValue(values.get(), kCFURLVolumeTotalCapacityKey));
            volume.availableBytes =
                fromCFNumber(CFDictionaryGetValue(values.get(), kCFURLVolumeAvailableCapacityKey));
            volume.formatDescription =
                fromCFString(CFDictionaryGetValue(values.get(), kCFURLVolumeLocalizedFormatDescriptionKey));
            const CFTypeRef internal = CFDictionaryGetValue(values.get(), kCFURLVolumeIsInternalKey);
            if (internal != nullptr && CFGetTypeID(internal) == CFBooleanGetTypeID()) {
                volume.internal = CFBooleanGetValue(static_cast<CFBooleanRef>(internal)) != 0;
            }
            volumes.push_back(std::move(volume));
        }
        return volumes;
    }

    std::optional<std::vector<InterfaceAddress>> interfaceAddresses() const override {
        return posix::interfaceAddresses([](const sockaddr& address) -> std::optional<std::string> {
            const auto* link = reinterpret_cast<const sockaddr_dl*>(&address);
            if (address.sa_family != AF_LINK || link->sdl_alen == 0) {
                return std::nullopt;
            }
            return posix::formatLinkAddress(reinterpret_cast<const unsigned char*>(LLADDR(link)),
                                            link->sdl_alen);
        });
    }
};

} // namespace

std::shared_ptr<SystemFacts> systemFacts() {
    return std::make_shared<DarwinSystemFacts>();
}

std::optional<std::chrono::system_clock::time_point> fileCreationTime(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    const auto since = std::chrono::seconds(info.st_birthtimespec.tv_sec) +
                       std::chrono::nanoseconds(info.st_birthtimespec.tv_nsec);
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(since));
}

std::optional<std::filesystem::path> executablePath() {
    std::uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);
    std::string buffer(size, '\0');
    if (_NSGetExecutablePath(buffer.data(), &size) != 0) {
        return std::nullopt;
    }
    buffer.resize(std::strlen(buffer.c_str()));
    std::error_code ec;
    auto resolved = std::filesystem::canonical(buffer, ec);
    return ec ? std::filesystem::path(buffer) : resolved;
}

} // namespace kova::platform
