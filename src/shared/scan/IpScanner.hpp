#pragma once

#include "core/Json.hpp"
#include "core/Stop.hpp"
#include "platform/NetworkInterfaces.hpp"
#include "process/ProcessRunner.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The "ip_scan" sweep: every host address of every IPv4 network the machine
// is attached to is pinged at once with the system's ping tool; the answering
// ones are reported with their round-trip time, MAC address and name.
// Stateless; never fails (silent hosts and unusable networks simply do not
// appear). Runs on the calling thread plus one worker thread per probe.
namespace kova::IpScanner {

struct LocalNetwork {
    std::string interfaceName;
    std::uint32_t localIp = 0;
    std::uint32_t networkAddress = 0;
    int prefixLength = 0;
    // Every address strictly between the network and broadcast addresses,
    // ascending; the local address included.
    std::vector<std::uint32_t> hosts;

    bool operator==(const LocalNetwork&) const = default;
};

using InterfaceSource = std::function<std::optional<std::vector<platform::Ipv4InterfaceAddress>>()>;

// The whole command: payload "timeout_ms" (350; 100 ... 2000), "max_prefix_length"
// (24; 24 ... 30), "resolve_hostnames" (true); a value of another type counts
// as absent. Networks are swept one after the other.
Json scan(const Json& payload, ProcessRunner& runner, const InterfaceSource& interfaces, StopToken stop = {});
Json scan(const Json& payload, ProcessRunner& runner, StopToken stop = {});

// The networks to sweep, in the order the system listed the addresses.
// Loopback interfaces, zero addresses and masks, and /31 and /32 networks
// are left out; a network wider than maxPrefixLength is narrowed to the
// block of that size around the local address. Nothing when the list is absent.
std::vector<LocalNetwork>
enumerateNetworks(const std::optional<std::vector<platform::Ipv4InterfaceAddress>>& addresses,
                  int maxPrefixLength);

// The answering hosts of one network, sorted by their dotted text.
std::vector<Json> scan(const LocalNetwork& network, int timeoutMs, bool resolveHostnames,
                       ProcessRunner& runner, StopToken stop = {});
std::optional<Json> ping(std::uint32_t host, int timeoutMs, bool resolveHostnames, ProcessRunner& runner,
                         StopToken stop = {});
std::optional<std::string> hostname(const std::string& address, ProcessRunner& runner, StopToken stop = {});

std::string ipv4String(std::uint32_t address);

// Readers of the tools' output.
std::optional<double> latencyFromPing(std::string_view output);
std::optional<std::string> macFromArp(std::string_view output);
std::optional<std::string> nameFromNameService(std::string_view output);

} // namespace kova::IpScanner
