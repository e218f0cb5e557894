#pragma once

#include "platform/SystemFacts.hpp"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <vector>

// The system's interface list (getifaddrs), walked in one place for Linux and
// Apple systems alike: the scan's IPv4 list (ipv4InterfaceAddresses, declared
// in platform/NetworkInterfaces.hpp) and the system facts read it here. Any
// thread may call these.
namespace kova::platform::posix {

// Every IPv4 and IPv6 address in numeric form and every link-layer address
// `linkAddress` formats (it answers nothing for entries of other families);
// absent when the list cannot be read.
using LinkAddressFormatter = std::function<std::optional<std::string>(const sockaddr&)>;
std::optional<std::vector<InterfaceAddress>> interfaceAddresses(const LinkAddressFormatter& linkAddress);

// "3c:22:fb:01:02:03"
std::string formatLinkAddress(const unsigned char* bytes, std::size_t length);

} // namespace kova::platform::posix
