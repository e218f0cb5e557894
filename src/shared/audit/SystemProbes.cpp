#include "audit/SystemProbes.hpp"

#include "core/Strings.hpp"
#include "core/Time.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <set>

namespace kova::audit {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

std::optional<std::int64_t> parseDigits(std::string_view digits) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return value;
}

template <typename F> void forEachLine(std::string_view text, F&& f) {
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        f(text.substr(start, end - start));
        start = end + 1;
    }
}

std::string_view trimSpacesAndTabs(std::string_view s) {
    const auto begin = s.find_first_not_of(" \t");
    if (begin == std::string_view::npos) {
        return {};
    }
    return s.substr(begin, s.find_last_not_of(" \t") - begin + 1);
}

std::vector<std::string_view> splitAtSpaces(std::string_view s) {
    std::vector<std::string_view> pieces;
    std::size_t i = 0;
    while (i < s.size()) {
        const auto next = s.find(' ', i);
        const auto end = next == std::string_view::npos ? s.size() : next;
        if (end > i) {
            pieces.push_back(s.substr(i, end - i));
        }
        i = end + 1;
    }
    return pieces;
}

// The last path component as a file URL reports it: "/" for the root.
std::string lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    if (path == "/") {
        return "/";
    }
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The latest second the ISO 8601 form can carry: 9999-12-31T23:59:59Z.
constexpr std::int64_t latestRepresentableSecond = 253402300799;

} // namespace

std::optional<std::string> ioregPlatformValue(std::string_view output, std::string_view key) {
    const std::string needle = "\"" + std::string(key) + "\" = \"";
    const auto found = output.find(needle);
    if (found == std::string_view::npos) {
        return std::nullopt;
    }
    const auto valueStart = found + needle.size();
    const auto closing = output.find('"', valueStart);
    if (closing == std::string_view::npos) {
        return std::nullopt;
    }
    return trimmed(output.substr(valueStart, closing - valueStart));
}

IoregPlatform parseIoregPlatform(std::string_view output) {
    return {ioregPlatformValue(output, "IOPlatformSerialNumber"),
            ioregPlatformValue(output, "IOPlatformUUID")};
}

std::string buildDeviceUid(std::string_view hostname, const std::optional<std::string>& serial,
                           const std::optional<std::string>& platformUuid) {
    std::string uid(hostname);
    for (const auto* part : {&serial, &platformUuid}) {
        if (*part) {
            uid += "-" + **part;
        }
    }
    return uid.empty() ? std::string(hostname) : uid;
}

std::optional<std::string> osBuild(std::string_view versionString) {
    const auto pieces = splitAtSpaces(versionString);
    if (pieces.empty()) {
        return std::nullopt;
    }
    return std::string(pieces.back());
}

std::optional<std::int64_t> firstMatchInteger(std::string_view text, std::string_view needle) {
    const auto found = text.find(needle);
    if (found == std::string_view::npos) {
        return std::nullopt;
    }
    auto begin = found + needle.size();
    while (begin < text.size() && !isDigit(text[begin])) {
        ++begin;
    }
    auto end = begin;
    while (end < text.size() && isDigit(text[end])) {
        ++end;
    }
    return parseDigits(text.substr(begin, end - begin));
}

std::optional<std::int64_t> parseVmStat(std::string_view output) {
    const auto pageSize = firstMatchInteger(output, "page size of ").value_or(4096);
    if (pageSize < 1) {
        return std::nullopt; // a zero page size would report no memory in use at all
    }
    std::int64_t pages = 0;
    for (std::string_view label : {"Pages active:", "Pages wired down:", "Pages occupied by compressor:"}) {
        const auto count = firstMatchInteger(output, label).value_or(0);
        if (count > std::numeric_limits<std::int64_t>::max() - pages) {
            return std::nullopt;
        }
        pages += count;
    }
    if (pages < 1) {
        return std::nullopt;
    }
    std::int64_t bytes = 0;
    if (__builtin_mul_overflow(pages, pageSize, &bytes)) {
        return std::nullopt;
    }
    return bytes;
}

std::optional<std::int64_t> parseBootTime(std::string_view output) {
    const auto found = output.find("sec = ");
    if (found == std::string_view::npos) {
        return std::nullopt;
    }
    const auto begin = found + 6;
    auto end = begin;
    while (end < output.size() && isDigit(output[end])) {
        ++end;
    }
    const auto seconds = parseDigits(output.substr(begin, end - begin));
    if (!seconds || *seconds > latestRepresentableSecond) {
        return std::nullopt;
    }
    return seconds;
}

std::optional<std::int64_t> uptimeSeconds(std::optional<std::int64_t> bootTime,
                                          std::chrono::system_clock::time_point now) {
    if (!bootTime) {
        return std::nullopt;
    }
    const auto nowSeconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    return std::max<std::int64_t>(0, nowSeconds - *bootTime);
}

std::optional<double> cpuLoadPercent(const std::vector<double>& loadAverages, std::int64_t activeProcessors) {
    if (loadAverages.empty() || !std::isfinite(loadAverages.front())) {
        return std::nullopt;
    }
    const auto processors = static_cast<double>(activeProcessors < 2 ? 1 : activeProcessors);
    return std::clamp(loadAverages.front() / processors * 100.0, 0.0, 100.0);
}

bool parsePmsetBattery(std::string_view output) {
    return output.find("InternalBattery") != std::string_view::npos;
}

std::vector<std::string> parseIfconfigMacAddresses(std::string_view output) {
    std::set<std::string> addresses;
    forEachLine(output, [&](std::string_view line) {
        line = trimSpacesAndTabs(line);
        if (!line.starts_with("ether ")) {
            return;
        }
        const auto pieces = splitAtSpaces(line);
        if (pieces.size() >= 2) {
            std::string address(pieces[1]);
            std::transform(address.begin(), address.end(), address.begin(),
                           [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
            addresses.insert(std::move(address));
        }
    });
    return {addresses.begin(), addresses.end()};
}

std::vector<std::string> reportedIpAddresses(const std::vector<platform::InterfaceAddress>& addresses) {
    std::set<std::string> kept;
    for (const auto& address : addresses) {
        if (address.family == platform::AddressFamily::ipv4 && !address.address.starts_with("127.") &&
            !address.address.starts_with("169.254.")) {
            kept.insert(address.address);
        }
    }
    return {kept.begin(), kept.end()};
}

Json diskObjects(const std::vector<platform::MountedVolume>& volumes) {
    Json disks = Json::array();
    for (const auto& volume : volumes) {
        if (!volume.totalBytes || *volume.totalBytes < 1) {
            continue;
        }
        Json disk = Json::object();
        disk["name"] =
            volume.name && !volume.name->empty() ? *volume.name : lastPathComponent(volume.mountPath);
        disk["mount"] = volume.mountPath;
        disk["type"] = volume.internal.value_or(false) ? "internal" : "external";
        disk["total_bytes"] = *volume.totalBytes;
        disk["free_bytes"] = volume.availableBytes.value_or(0);
        disk["filesystem"] = volume.formatDescription.value_or("");
        disk["health"] = "unknown";
        disks.push_back(std::move(disk));
    }
    return disks;
}

Json parseSystemProfilerJson(std::string_view output) {
    auto value = parseJsonOrDiscarded(output);
    if (value.is_discarded() || !value.is_object()) {
        return Json::object();
    }
    return value;
}

std::vector<std::string> directoryListing(const std::filesystem::path& directory, std::size_t limit) {
    std::vector<std::string> names;
    std::error_code ec;
    std::filesystem::directory_iterator it(directory, ec);
    if (ec) {
        return names;
    }
    for (; it != std::filesystem::directory_iterator() && names.size() < limit; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    if (ec) {
        names.clear(); // a listing that broke off is no listing
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<std::string> iso8601FromEpochSeconds(std::int64_t seconds) {
    if (seconds < 0 || seconds > latestRepresentableSecond) {
        return std::nullopt;
    }
    return formatIso8601(Timestamp(std::chrono::seconds(seconds)));
}

} // namespace kova::audit
