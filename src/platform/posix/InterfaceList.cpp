#include "platform/posix/InterfaceList.hpp"

#include "platform/NetworkInterfaces.hpp"

#include <arpa/inet.h>
#include <array>
#include <cstdio>
#include <ifaddrs.h>
#include <memory>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

namespace kova::platform {
namespace {

// Visits every entry with an address, in list order; false when the list cannot be read.
bool forEachInterfaceAddress(const std::function<void(const ifaddrs&)>& visit) {
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0) {
        return false;
    }
    std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> list(raw, ::freeifaddrs);
    for (const auto* item = list.get(); item != nullptr; item = item->ifa_next) {
        if (item->ifa_addr != nullptr) {
            visit(*item);
        }
    }
    return true;
}

} // namespace

std::optional<std::vector<Ipv4InterfaceAddress>> ipv4InterfaceAddresses() {
    std::vector<Ipv4InterfaceAddress> addresses;
    const bool listed = forEachInterfaceAddress([&](const ifaddrs& item) {
        if (item.ifa_netmask == nullptr || item.ifa_addr->sa_family != AF_INET) {
            return;
        }
        Ipv4InterfaceAddress entry;
        entry.interfaceName = item.ifa_name != nullptr ? item.ifa_name : "";
        entry.address = ntohl(reinterpret_cast<const sockaddr_in*>(item.ifa_addr)->sin_addr.s_addr);
        entry.netmask = ntohl(reinterpret_cast<const sockaddr_in*>(item.ifa_netmask)->sin_addr.s_addr);
        entry.loopback = (item.ifa_flags & IFF_LOOPBACK) != 0;
        addresses.push_back(std::move(entry));
    });
    return listed ? std::optional(std::move(addresses)) : std::nullopt;
}

namespace posix {

std::optional<std::vector<InterfaceAddress>> interfaceAddresses(const LinkAddressFormatter& linkAddress) {
    std::vector<InterfaceAddress> addresses;
    const bool listed = forEachInterfaceAddress([&](const ifaddrs& item) {
        InterfaceAddress address;
        address.interfaceName = item.ifa_name != nullptr ? item.ifa_name : "";
        const int family = item.ifa_addr->sa_family;
        if (family == AF_INET || family == AF_INET6) {
            std::array<char, 1025> host{};
            const socklen_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
            if (::getnameinfo(item.ifa_addr, length, host.data(), host.size(), nullptr, 0, NI_NUMERICHOST) !=
                0) {
                return;
            }
            address.family = family == AF_INET ? AddressFamily::ipv4 : AddressFamily::ipv6;
            address.address = host.data();
        } else if (auto link = linkAddress(*item.ifa_addr)) {
            address.family = AddressFamily::link;
            address.address = std::move(*link);
        } else {
            return;
        }
        addresses.push_back(std::move(address));
    });
    return listed ? std::optional(std::move(addresses)) : std::nullopt;
}

std::string formatLinkAddress(const unsigned char* bytes, std::size_t length) {
    std::string out;
    char part[4];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(part, sizeof part, i == 0 ? "%02x" : ":%02x", bytes[i]);
        out += part;
    }
    return out;
}

} // namespace posix
} // namespace kova::platform
