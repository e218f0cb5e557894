#pragma once

#include "platform/SystemFacts.hpp"

#include <cstddef>
#include <functional>
#include <ifaddrs.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <vector>

// The system's interface list (getifaddrs), walked in one place for Linux and
// Apple systems alike: the scan's IPv4 list and the system facts read it here.
// Any thread may call these.
namespace kova::platform::posix {

// Calls `visit` for every entry that carries an address, in the order the
// system lists them; false when the list cannot be read.
bool forEachInterfaceAddress(const std::function<void(const ifaddrs&)>& visit);

// Formats the link-layer address of an entry of the system's own link family,
// or nothing for any other entry.
using LinkAddressFormatter = std::function<std::optional<std::string>(const sockaddr&)>;

// Every IPv4 and IPv6 address in numeric form and every link-layer address
// `linkAddress` formats; absent when the list cannot be read.
std::optional<std::vector<InterfaceAddress>> interfaceAddresses(const LinkAddressFormatter& linkAddress);

// "3c:22:fb:01:02:03"
std::string formatLinkAddress(const unsigned char* bytes, std::size_t length);

} // namespace kova::platform::posix
