#include "net/NetworkRouting.hpp"

#include "core/Errors.hpp"

namespace kova::routing {

std::optional<platform::Proxy> proxyFor(const platform::NetworkRoute& route, std::string_view url) {
    try {
        return route.proxyFor(url);
    } catch (const platform::ProxySettingError& error) {
        throw NetworkError(NetworkErrorCode::other, error.what());
    }
}

std::string destination(std::string_view url) {
    const auto target = platform::parseUrlTarget(url);
    return target ? target->scheme + "://" + platform::endpointText(target->host, target->port)
                  : "an unparsable URL";
}

std::string describe(std::string_view url, const std::optional<platform::Proxy>& proxy) {
    return "Route to " + destination(url) + ": " + (proxy ? "via proxy " + proxy->endpoint() : "direct");
}

std::shared_ptr<const platform::NetworkRoute> orSystem(std::shared_ptr<const platform::NetworkRoute> route) {
    return route ? std::move(route) : platform::systemNetworkRoute();
}

} // namespace kova::routing
