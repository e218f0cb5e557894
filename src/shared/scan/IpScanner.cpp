#include "scan/IpScanner.hpp"

#include "core/Time.hpp"
#include "core/ToolPaths.hpp"
#include "process/Shell.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <locale>
#include <sstream>
#include <sys/resource.h>
#include <system_error>

namespace kova::IpScanner {
namespace {

// Descriptors one running probe holds (its pipes and the wake-up pair).
constexpr rlim_t descriptorsPerProbe = 6;
constexpr rlim_t descriptorsKeptFree = 64;
// Every tool has its own time-out; this only guards against one that hangs.
constexpr std::chrono::milliseconds toolGrace{5000};

std::optional<std::int64_t> integerValue(const Json& payload, const char* key) {
    if (!payload.is_object()) {
        return std::nullopt;
    }
    const auto it = payload.find(key);
    if (it == payload.end() || !it->is_number()) {
        return std::nullopt;
    }
    return jsonInt64(*it);
}

bool boolValue(const Json& payload, const char* key, bool defaultValue) {
    if (!payload.is_object()) {
        return defaultValue;
    }
    const auto it = payload.find(key);
    return it != payload.end() && it->is_boolean() ? it->get<bool>() : defaultValue;
}

// How many probes may run at once: one per host, unless the descriptor limit
// (often 256 or 1024 by default) cannot hold that many even once raised; a
// probe that could not open its pipes would pass for a silent host.
std::size_t probeConcurrency(std::size_t hosts) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return hosts;
    }
    const rlim_t wanted = static_cast<rlim_t>(hosts) * descriptorsPerProbe + descriptorsKeptFree;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted) {
        return hosts;
    }
    const auto room = limit.rlim_cur > descriptorsKeptFree
                          ? (limit.rlim_cur - descriptorsKeptFree) / descriptorsPerProbe
                          : 1;
    return std::clamp<std::size_t>(static_cast<std::size_t>(room), 1, hosts);
}

std::string ipText(const Json& host) {
    const auto it = host.find("ip");
    return it != host.end() && it->is_string() ? it->get<std::string>() : std::string();
}

Json networkObject(const LocalNetwork& network, std::vector<Json> hosts) {
    const auto cidr = ipv4String(network.networkAddress) + "/" + std::to_string(network.prefixLength);
    return Json{{"interface", network.interfaceName},
                {"local_ip", ipv4String(network.localIp)},
                {"network", cidr},
                {"cidr", cidr},
                {"scanned_hosts", network.hosts.size()},
                {"hosts", std::move(hosts)}};
}

} // namespace

std::string ipv4String(std::uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::vector<LocalNetwork>
enumerateNetworks(const std::optional<std::vector<platform::Ipv4InterfaceAddress>>& addresses,
                  int maxPrefixLength) {
    std::vector<LocalNetwork> networks;
    if (!addresses) {
        return networks;
    }
    for (const auto& entry : *addresses) {
        // "lo0" is the Apple loopback; the flag catches Linux's "lo" and any other.
        if (entry.loopback || entry.interfaceName == "lo0" || entry.address == 0 || entry.netmask == 0) {
            continue;
        }
        const int prefix = std::max(std::popcount(entry.netmask), maxPrefixLength);
        const std::uint32_t mask = prefix >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> prefix);
        const std::uint32_t network = entry.address & mask;
        const std::uint32_t first = network + 1;
        const std::uint32_t broadcast = entry.address | ~mask;
        if (broadcast <= first) {
            continue; // a /31 or /32 has no host range
        }
        LocalNetwork local{entry.interfaceName, entry.address, network, prefix, {}};
        local.hosts.reserve(broadcast - first);
        for (std::uint32_t host = first; host < broadcast; ++host) {
            local.hosts.push_back(host);
        }
        networks.push_back(std::move(local));
    }
    return networks;
}

std::optional<double> latencyFromPing(std::string_view output) {
    const auto at = output.find("time=");
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    const auto rest = output.substr(at + 5);
    const auto end = rest.find_first_not_of("0123456789.");
    const auto number = rest.substr(0, end);
    if (number.empty()) {
        return std::nullopt;
    }
    // A stream in the classic locale: LLVM's library (libc++ 16, for one) has
    // no floating-point from_chars, and strtod would follow the process's locale.
    std::istringstream in{std::string(number)};
    in.imbue(std::locale::classic());
    double value = 0;
    in >> value;
    if (in.fail() || in.peek() != std::char_traits<char>::eof()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> macFromArp(std::string_view output) {
    const auto at = output.find(" at ");
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    auto rest = output.substr(at + 4);
    const auto begin = rest.find_first_not_of(' ');
    if (begin == std::string_view::npos) {
        return std::nullopt;
    }
    rest = rest.substr(begin);
    return std::string(rest.substr(0, rest.find(' ')));
}

std::optional<std::string> nameFromNameService(std::string_view output) {
    std::size_t start = 0;
    while (start <= output.size()) {
        auto end = output.find('\n', start);
        if (end == std::string_view::npos) {
            end = output.size();
        }
        const auto line = output.substr(start, end - start);
        if (line.starts_with("name: ")) {
            return std::string(line.substr(6));
        }
        start = end + 1;
    }
    return std::nullopt;
}

std::optional<std::string> hostname(const std::string& address, ProcessRunner& runner, StopToken stop) {
    const auto output =
        Shell::run(runner, tools::dscacheutil, {"-q", "host", "-a", "ip_address", address}, stop, toolGrace);
    return output ? nameFromNameService(*output) : std::nullopt;
}

std::optional<Json> ping(std::uint32_t host, int timeoutMs, bool resolveHostnames, ProcessRunner& runner,
                         StopToken stop) {
    const auto address = ipv4String(host);
    const auto output = Shell::run(runner, tools::ping, {"-c", "1", "-W", std::to_string(timeoutMs), address},
                                   stop, std::chrono::milliseconds(timeoutMs) + toolGrace);
    if (!output) {
        return std::nullopt;
    }
    Json result = {{"ip", address}, {"status", "up"}};
    if (const auto latency = latencyFromPing(*output)) {
        result["latency_ms"] = *latency;
    }
    if (const auto arp = Shell::run(runner, tools::arp, {"-n", address}, stop, toolGrace)) {
        if (const auto mac = macFromArp(*arp)) {
            result["mac"] = *mac;
        }
    }
    if (resolveHostnames) {
        if (const auto name = hostname(address, runner, stop)) {
            result["hostname"] = *name;
        }
    }
    return result;
}

std::vector<Json> scan(const LocalNetwork& network, int timeoutMs, bool resolveHostnames,
                       ProcessRunner& runner, StopToken stop) {
    const auto& hosts = network.hosts;
    std::vector<std::optional<Json>> answers(hosts.size());
    std::atomic<std::size_t> next{0};
    const auto probe = [&] {
        for (auto i = next.fetch_add(1); i < hosts.size(); i = next.fetch_add(1)) {
            answers[i] = ping(hosts[i], timeoutMs, resolveHostnames, runner, stop);
        }
    };
    {
        std::vector<JThread> workers;
        const auto concurrency = probeConcurrency(hosts.size());
        workers.reserve(concurrency);
        try {
            while (workers.size() < concurrency) {
                workers.emplace_back(probe);
            }
        } catch (const std::system_error&) {
            // Out of threads: the ones started (or this one) take the rest.
        }
        if (workers.empty()) {
            probe();
        }
    }
    std::vector<Json> found;
    for (auto& answer : answers) {
        if (answer) {
            found.push_back(std::move(*answer));
        }
    }
    // Text order, as the server has always received it (".10" before ".2").
    std::sort(found.begin(), found.end(), [](const Json& a, const Json& b) { return ipText(a) < ipText(b); });
    return found;
}

Json scan(const Json& payload, ProcessRunner& runner, const InterfaceSource& interfaces, StopToken stop) {
    const auto startedAt = std::chrono::system_clock::now();
    const auto timeoutMs = static_cast<int>(
        std::clamp<std::int64_t>(integerValue(payload, "timeout_ms").value_or(350), 100, 2000));
    const auto maxPrefix = static_cast<int>(
        std::clamp<std::int64_t>(integerValue(payload, "max_prefix_length").value_or(24), 24, 30));
    const bool resolveHostnames = boolValue(payload, "resolve_hostnames", true);

    Json networks = Json::array();
    std::size_t hostCount = 0;
    for (const auto& network : enumerateNetworks(interfaces ? interfaces() : std::nullopt, maxPrefix)) {
        auto hosts = scan(network, timeoutMs, resolveHostnames, runner, stop);
        hostCount += hosts.size();
        networks.push_back(networkObject(network, std::move(hosts)));
    }
    const auto completedAt = std::chrono::system_clock::now();
    const auto seconds = [](std::chrono::system_clock::time_point t) {
        return std::chrono::floor<std::chrono::seconds>(t);
    };
    return Json{{"scanner", "kova-viewer-macos"},
                {"started_at", formatIso8601(seconds(startedAt))},
                {"completed_at", formatIso8601(seconds(completedAt))},
                {"duration_ms",
                 std::chrono::duration_cast<std::chrono::milliseconds>(completedAt - startedAt).count()},
                {"network_count", networks.size()},
                {"host_count", hostCount},
                {"networks", std::move(networks)}};
}

Json scan(const Json& payload, ProcessRunner& runner, StopToken stop) {
    return scan(payload, runner, platform::ipv4InterfaceAddresses, std::move(stop));
}

} // namespace kova::IpScanner
