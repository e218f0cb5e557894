#include "platform/NetworkRoute.hpp"

#include <cstdlib>

namespace kova::platform {

// The conventional proxy variables and the system CA store (OpenSSL's and
// curl's defaults). The process environment is read on every call and never
// changed by the program, so concurrent reads are safe.
std::shared_ptr<const NetworkRoute> systemNetworkRoute() {
    static const auto route = std::make_shared<const EnvironmentNetworkRoute>(
        [](const std::string& name) -> std::optional<std::string> {
            if (const char* value = std::getenv(name.c_str())) {
                return std::string(value);
            }
            return std::nullopt;
        });
    return route;
}

} // namespace kova::platform
