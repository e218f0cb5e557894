#include "platform/posix/InterfaceList.hpp"

#include <array>
#include <cstdio>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>

namespace kova::platform::posix {

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

} // namespace kova::platform::posix
