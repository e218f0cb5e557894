#pragma once

#include "platform/SystemFacts.hpp"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <vector>

// The one getifaddrs walk for both systems' facts and, behind
// platform/NetworkInterfaces.hpp, the scan's IPv4 list. Any thread.
namespace kova::platform::posix {

// Every IP address in numeric form and every link-layer one `linkAddress`
// formats (nothing for other families); absent when the list cannot be read.
using LinkAddressFormatter = std::function<std::optional<std::string>(const sockaddr&)>;
std::optional<std::vector<InterfaceAddress>> interfaceAddresses(const LinkAddressFormatter& linkAddress);

// "3c:22:fb:01:02:03"
std::string formatLinkAddress(const unsigned char* bytes, std::size_t length);

} // namespace kova::platform::posix
