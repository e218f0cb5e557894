#include "platform/NetworkInterfaces.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <memory>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

// getifaddrs and the interface flags are the same on Linux and on Apple
// systems, so one implementation serves both.
namespace kova::platform {

std::optional<std::vector<Ipv4InterfaceAddress>> ipv4InterfaceAddresses() {
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0) {
        return std::nullopt;
    }
    std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> list(raw, ::freeifaddrs);
    std::vector<Ipv4InterfaceAddress> addresses;
    for (const auto* item = list.get(); item != nullptr; item = item->ifa_next) {
        if (item->ifa_addr == nullptr || item->ifa_netmask == nullptr ||
            item->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        Ipv4InterfaceAddress entry;
        entry.interfaceName = item->ifa_name != nullptr ? item->ifa_name : "";
        entry.address = ntohl(reinterpret_cast<const sockaddr_in*>(item->ifa_addr)->sin_addr.s_addr);
        entry.netmask = ntohl(reinterpret_cast<const sockaddr_in*>(item->ifa_netmask)->sin_addr.s_addr);
        entry.loopback = (item->ifa_flags & IFF_LOOPBACK) != 0;
        addresses.push_back(std::move(entry));
    }
    return addresses;
}

} // namespace kova::platform
