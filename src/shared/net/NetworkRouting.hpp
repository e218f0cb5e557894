#pragma once

#include "platform/NetworkRoute.hpp"

#include <optional>
#include <string>
#include <string_view>

// How the HTTP transport and the WebSocket client turn the platform's route
// into a connection plan and talk about it.
namespace kova::routing {

// The proxy the route names for the URL. A setting that cannot be used fails
// the connection like any other cause: NetworkError (other), whose text names
// the setting but never its value.
std::optional<platform::Proxy> proxyFor(const platform::NetworkRoute& route, std::string_view url);

// "scheme://host:port" of a URL: what a route line names.
std::string destination(std::string_view url);

// The line logged for a connection: "Route to wss://host:port: via proxy
// proxy:port" or "Route to https://host:port: direct". Never credentials,
// paths or queries.
std::string describe(std::string_view url, const std::optional<platform::Proxy>& proxy);

// The route given, or the system's when none is.
std::shared_ptr<const platform::NetworkRoute> orSystem(std::shared_ptr<const platform::NetworkRoute> route);

} // namespace kova::routing
