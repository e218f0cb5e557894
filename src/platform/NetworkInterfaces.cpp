#include "platform/NetworkInterfaces.hpp"

#include "platform/posix/InterfaceList.hpp"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

namespace kova::platform {

std::optional<std::vector<Ipv4InterfaceAddress>> ipv4InterfaceAddresses() {
    std::vector<Ipv4InterfaceAddress> addresses;
    const bool listed = posix::forEachInterfaceAddress([&](const ifaddrs& item) {
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

} // namespace kova::platform
