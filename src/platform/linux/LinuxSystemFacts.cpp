#include "platform/linux/LinuxSystemFacts.hpp"

#include "platform/posix/InterfaceList.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <limits>
#include <linux/if_packet.h>
#include <memory>
#include <mntent.h>
#include <pwd.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace kova::platform {
namespace linux_facts {
namespace {

constexpr std::string_view whitespace = " \t\r\n\v\f";

std::string_view trimView(std::string_view s) {
    const auto begin = s.find_first_not_of(whitespace);
    if (begin == std::string_view::npos) {
        return {};
    }
    const auto end = s.find_last_not_of(whitespace);
    return s.substr(begin, end - begin + 1);
}

// Small system files only; a limit keeps a strange file from being read whole.
std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::size_t limit = 1 << 20) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string data(limit, '\0');
    in.read(data.data(), static_cast<std::streamsize>(limit));
    if (in.bad()) {
        return std::nullopt;
    }
    data.resize(static_cast<std::size_t>(in.gcount()));
    return data;
}

std::string unquote(std::string_view value) {
    if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
        return std::string(value.substr(1, value.size() - 2));
    }
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        std::string out;
        const auto inner = value.substr(1, value.size() - 2);
        for (std::size_t i = 0; i < inner.size(); ++i) {
            if (inner[i] == '\\' && i + 1 < inner.size()) {
                ++i;
            }
            out.push_back(inner[i]);
        }
        return out;
    }
    return std::string(value);
}

struct PasswdEntry {
    std::string name;
    std::string home;
};

std::optional<PasswdEntry> passwdEntry(uid_t uid) {
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::size_t size = suggested > 0 ? static_cast<std::size_t>(suggested) : 16384;
    for (int attempt = 0; attempt < 6; ++attempt, size *= 2) {
        std::vector<char> buffer(size);
        passwd pw{};
        passwd* result = nullptr;
        const int rc = ::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &result);
        if (rc == ERANGE) {
            continue;
        }
        if (rc != 0 || result == nullptr) {
            return std::nullopt;
        }
        return PasswdEntry{pw.pw_name != nullptr ? pw.pw_name : "", pw.pw_dir != nullptr ? pw.pw_dir : ""};
    }
    return std::nullopt;
}

std::optional<std::int64_t> parseUnsigned(std::string_view text) {
    if (text.empty() || text.size() > 18) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

std::int64_t clampToInt64(unsigned long long value) {
    constexpr auto max = static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max());
    return static_cast<std::int64_t>(std::min(value, max));
}

// Whether the block device behind a mount reports removable media; absent
// for anything that is not a block device (network, overlay, ...).
std::optional<bool> isInternalDevice(const std::string& device) {
    if (!device.starts_with("/dev/")) {
        return std::nullopt;
    }
    std::error_code ec;
    const auto resolved = std::filesystem::canonical(device, ec);
    if (ec) {
        return std::nullopt;
    }
    auto sysPath =
        std::filesystem::canonical(std::filesystem::path("/sys/class/block") / resolved.filename(), ec);
    if (ec) {
        return std::nullopt;
    }
    if (std::filesystem::exists(sysPath / "partition", ec)) {
        sysPath = sysPath.parent_path();
    }
    const auto removable = readSmallFile(sysPath / "removable", 64);
    if (!removable) {
        return std::nullopt;
    }
    const auto flag = trimView(*removable);
    if (flag == "0") {
        return true;
    }
    if (flag == "1") {
        return false;
    }
    return std::nullopt;
}

} // namespace

std::map<std::string, std::string> parseKeyValueFile(std::string_view text) {
    std::map<std::string, std::string> values;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const auto line = trimView(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string_view::npos || eq == 0) {
            continue;
        }
        const auto key = trimView(line.substr(0, eq));
        if (key.empty() || key.find_first_of(whitespace) != std::string_view::npos) {
            continue;
        }
        values[std::string(key)] = unquote(trimView(line.substr(eq + 1)));
    }
    return values;
}

OperatingSystemVersion parseVersionNumbers(std::string_view text) {
    std::array<std::int64_t, 3> parts{0, 0, 0};
    std::size_t i = 0;
    for (std::size_t part = 0; part < parts.size(); ++part) {
        std::size_t digitsEnd = i;
        while (digitsEnd < text.size() && std::isdigit(static_cast<unsigned char>(text[digitsEnd]))) {
            ++digitsEnd;
        }
        const auto number = parseUnsigned(text.substr(i, digitsEnd - i));
        if (!number) {
            break;
        }
        parts[part] = *number;
        if (digitsEnd >= text.size() || text[digitsEnd] != '.') {
            break;
        }
        i = digitsEnd + 1;
    }
    return {parts[0], parts[1], parts[2]};
}

std::optional<std::string> cpuModelName(std::string_view cpuinfo) {
    for (std::string_view key : {"model name", "Model", "Hardware"}) {
        std::size_t start = 0;
        while (start < cpuinfo.size()) {
            auto end = cpuinfo.find('\n', start);
            if (end == std::string_view::npos) {
                end = cpuinfo.size();
            }
            const auto line = cpuinfo.substr(start, end - start);
            start = end + 1;
            const auto colon = line.find(':');
            if (colon == std::string_view::npos || trimView(line.substr(0, colon)) != key) {
                continue;
            }
            const auto value = trimView(line.substr(colon + 1));
            if (!value.empty()) {
                return std::string(value);
            }
        }
    }
    return std::nullopt;
}

bool isHiddenFileSystem(std::string_view type, std::string_view mountPoint) {
    static constexpr std::string_view pseudo[] = {
        "proc",       "sysfs",     "devtmpfs", "devpts",         "tmpfs",   "cgroup",     "cgroup2",
        "securityfs", "pstore",    "bpf",      "tracefs",        "debugfs", "mqueue",     "hugetlbfs",
        "configfs",   "fusectl",   "autofs",   "binfmt_misc",    "nsfs",    "rpc_pipefs", "efivarfs",
        "ramfs",      "selinuxfs", "squashfs", "fuse.gvfsd-fuse"};
    if (std::find(std::begin(pseudo), std::end(pseudo), type) != std::end(pseudo)) {
        return true;
    }
    for (std::string_view prefix : {"/proc", "/sys", "/dev", "/run"}) {
        if (mountPoint == prefix || (mountPoint.starts_with(prefix) && mountPoint.size() > prefix.size() &&
                                     mountPoint[prefix.size()] == '/')) {
            return true;
        }
    }
    return false;
}

std::optional<std::string> procSysRelativePath(std::string_view name) {
    if (name.empty() || name.front() == '.' || name.back() == '.' ||
        name.find("..") != std::string_view::npos) {
        return std::nullopt;
    }
    std::string out;
    for (char c : name) {
        if (c == '.') {
            out.push_back('/');
        } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-') {
            out.push_back(c);
        } else {
            return std::nullopt;
        }
    }
    return out;
}

std::optional<std::string> LinuxSystemFacts::localizedHostName() const {
    const auto text = readSmallFile("/etc/machine-info");
    if (!text) {
        return std::nullopt;
    }
    const auto values = parseKeyValueFile(*text);
    const auto it = values.find("PRETTY_HOSTNAME");
    if (it == values.end() || trimView(it->second).empty()) {
        return std::nullopt;
    }
    return std::string(trimView(it->second));
}

std::string LinuxSystemFacts::processHostName() const {
    std::array<char, HOST_NAME_MAX + 1> buffer{};
    if (::gethostname(buffer.data(), buffer.size() - 1) != 0) {
        return {};
    }
    return std::string(buffer.data());
}

namespace {

// The user of the active session on the first seat, as logind records it.
std::optional<uid_t> activeSeatUser() {
    const auto text = readSmallFile("/run/systemd/seats/seat0");
    if (!text) {
        return std::nullopt;
    }
    const auto values = parseKeyValueFile(*text);
    const auto it = values.find("ACTIVE_UID");
    if (it == values.end()) {
        return std::nullopt;
    }
    const auto uid = parseUnsigned(it->second);
    if (!uid || *uid >= std::numeric_limits<uid_t>::max()) {
        return std::nullopt;
    }
    return static_cast<uid_t>(*uid);
}

} // namespace

std::optional<uid_t> LinuxSystemFacts::consoleUserId() const {
    const auto uid = activeSeatUser();
    return uid && *uid != 0 ? uid : std::nullopt;
}

std::optional<std::string> LinuxSystemFacts::consoleUser() const {
    const auto uid = activeSeatUser();
    if (!uid) {
        return std::nullopt;
    }
    const auto entry = passwdEntry(*uid);
    if (!entry || entry->name.empty()) {
        return std::nullopt;
    }
    return entry->name;
}

std::string LinuxSystemFacts::processUserName() const {
    const auto uid = ::geteuid();
    if (const auto entry = passwdEntry(uid); entry && !entry->name.empty()) {
        return entry->name;
    }
    return std::to_string(uid);
}

std::optional<std::filesystem::path> LinuxSystemFacts::processHomeDirectory() const {
    if (const auto entry = passwdEntry(::geteuid()); entry && !entry->home.empty()) {
        return std::filesystem::path(entry->home);
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return std::filesystem::path(home);
    }
    return std::nullopt;
}

OperatingSystemVersion LinuxSystemFacts::operatingSystemVersion() const {
    if (const auto text = readSmallFile("/etc/os-release")) {
        const auto values = parseKeyValueFile(*text);
        if (const auto it = values.find("VERSION_ID"); it != values.end() && !it->second.empty()) {
            return parseVersionNumbers(it->second);
        }
    }
    utsname name{};
    if (::uname(&name) == 0) {
        return parseVersionNumbers(name.release);
    }
    return {};
}

std::string LinuxSystemFacts::operatingSystemVersionString() const {
    if (const auto text = readSmallFile("/etc/os-release")) {
        const auto values = parseKeyValueFile(*text);
        if (const auto it = values.find("PRETTY_NAME"); it != values.end() && !it->second.empty()) {
            return it->second;
        }
    }
    utsname name{};
    if (::uname(&name) == 0) {
        return std::string(name.sysname) + " " + name.release;
    }
    return {};
}

std::int64_t LinuxSystemFacts::processorCount() const {
    const long n = ::sysconf(_SC_NPROCESSORS_CONF);
    return n > 0 ? n : 1;
}

std::int64_t LinuxSystemFacts::activeProcessorCount() const {
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? n : 1;
}

std::uint64_t LinuxSystemFacts::physicalMemoryBytes() const {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) {
        return 0;
    }
    const auto p = static_cast<std::uint64_t>(pages);
    const auto s = static_cast<std::uint64_t>(pageSize);
    if (p > std::numeric_limits<std::uint64_t>::max() / s) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return p * s;
}

double LinuxSystemFacts::systemUptimeSeconds() const {
    timespec ts{};
    if (::clock_gettime(CLOCK_BOOTTIME, &ts) != 0) {
        return 0;
    }
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::vector<double> LinuxSystemFacts::loadAverages() const {
    std::array<double, 3> loads{};
    const int n = ::getloadavg(loads.data(), 3);
    if (n <= 0) {
        return {};
    }
    return std::vector<double>(loads.begin(), loads.begin() + n);
}

std::optional<std::string> LinuxSystemFacts::sysctlString(std::string_view name) const {
    if (name == "machdep.cpu.brand_string") {
        const auto cpuinfo = readSmallFile("/proc/cpuinfo", 4 << 20);
        return cpuinfo ? cpuModelName(*cpuinfo) : std::nullopt;
    }
    if (name == "hw.model") {
        for (const char* path :
             {"/sys/devices/virtual/dmi/id/product_name", "/sys/firmware/devicetree/base/model"}) {
            if (const auto text = readSmallFile(path, 4096)) {
                // Device-tree strings end with a NUL.
                const std::string value(trimView(std::string_view(text->c_str())));
                if (!value.empty()) {
                    return value;
                }
            }
        }
        return std::nullopt;
    }
    const auto relative = procSysRelativePath(name);
    if (!relative) {
        return std::nullopt;
    }
    const auto text = readSmallFile(std::filesystem::path("/proc/sys") / *relative, 1 << 16);
    if (!text) {
        return std::nullopt;
    }
    return std::string(trimView(*text));
}

std::optional<std::vector<MountedVolume>> LinuxSystemFacts::mountedVolumes() const {
    std::unique_ptr<FILE, int (*)(FILE*)> table(::setmntent("/proc/self/mounts", "r"), ::endmntent);
    if (!table) {
        return std::nullopt;
    }
    std::vector<MountedVolume> volumes;
    std::vector<std::string> seen;
    mntent entry{};
    std::vector<char> buffer(8192);
    while (::getmntent_r(table.get(), &entry, buffer.data(), static_cast<int>(buffer.size())) != nullptr) {
        const std::string mountPoint = entry.mnt_dir != nullptr ? entry.mnt_dir : "";
        const std::string type = entry.mnt_type != nullptr ? entry.mnt_type : "";
        const std::string device = entry.mnt_fsname != nullptr ? entry.mnt_fsname : "";
        if (mountPoint.empty() || isHiddenFileSystem(type, mountPoint) ||
            std::find(seen.begin(), seen.end(), mountPoint) != seen.end()) {
            continue;
        }
        // Single files bind-mounted into containers are not volumes.
        struct stat st {};
        if (::stat(mountPoint.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            continue;
        }
        seen.push_back(mountPoint);
        MountedVolume volume;
        volume.mountPath = mountPoint;
        volume.formatDescription = type;
        volume.internal = isInternalDevice(device);
        struct statvfs fs {};
        if (::statvfs(mountPoint.c_str(), &fs) == 0) {
            const auto unit = static_cast<unsigned long long>(fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize);
            const auto blocks = static_cast<unsigned long long>(fs.f_blocks);
            const auto available = static_cast<unsigned long long>(fs.f_bavail);
            const auto limit = std::numeric_limits<unsigned long long>::max() / std::max(unit, 1ULL);
            volume.totalBytes = clampToInt64(blocks > limit ? ULLONG_MAX : blocks * unit);
            volume.availableBytes = clampToInt64(available > limit ? ULLONG_MAX : available * unit);
        }
        volumes.push_back(std::move(volume));
    }
    return volumes;
}

std::optional<std::vector<InterfaceAddress>> LinuxSystemFacts::interfaceAddresses() const {
    return posix::interfaceAddresses([](const sockaddr& address) -> std::optional<std::string> {
        const auto* link = reinterpret_cast<const sockaddr_ll*>(&address);
        if (address.sa_family != AF_PACKET || link->sll_halen == 0 ||
            link->sll_halen > sizeof link->sll_addr) {
            return std::nullopt;
        }
        return posix::formatLinkAddress(link->sll_addr, link->sll_halen);
    });
}

} // namespace linux_facts

std::shared_ptr<SystemFacts> systemFacts() {
    return std::make_shared<linux_facts::LinuxSystemFacts>();
}

std::optional<std::chrono::system_clock::time_point> fileCreationTime(const std::filesystem::path& path) {
    struct statx info {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &info) != 0 ||
        (info.stx_mask & STATX_BTIME) == 0) {
        return std::nullopt;
    }
    const auto since =
        std::chrono::seconds(info.stx_btime.tv_sec) + std::chrono::nanoseconds(info.stx_btime.tv_nsec);
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(since));
}

std::optional<std::filesystem::path> executablePath() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return std::nullopt;
    }
    return path;
}

} // namespace kova::platform
