#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kova::platform {

// One IPv4 address of one interface, as the system lists it. Addresses and
// masks are in host byte order.
struct Ipv4InterfaceAddress {
    std::string interfaceName;
    std::uint32_t address = 0;
    std::uint32_t netmask = 0;
    bool loopback = false; // the interface carries the loopback flag

    bool operator==(const Ipv4InterfaceAddress&) const = default;
};

// Every IPv4 address that has a netmask, in the order the system lists them;
// absent when the enumeration itself fails. Any thread may call it.
std::optional<std::vector<Ipv4InterfaceAddress>> ipv4InterfaceAddresses();

} // namespace kova::platform
