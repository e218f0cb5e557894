#pragma once

#include "core/Stop.hpp"
#include "platform/NetworkRoute.hpp"

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kova {

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<std::string> body;
};

struct HttpResponse {
    long status = 0; // 0: no HTTP response was received
    std::string body;
};

// Sends one HTTPS request and returns whatever HTTP answer came back.
// Failures to get an answer are thrown as NetworkError; a stop request aborts
// the transfer (NetworkErrorCode::cancelled). Safe to call from many threads.
class HttpTransport {
public:
    virtual ~HttpTransport() = default;
    virtual HttpResponse send(const HttpRequest& request, StopToken stop) = 0;
    // The proxy a request for the URL would go through now; absent: direct.
    // Throws NetworkError when the proxy setting cannot be used.
    virtual std::optional<platform::Proxy> proxyFor(const std::string& url) {
        static_cast<void>(url);
        return std::nullopt;
    }
};

struct CurlTransportOptions {
    // No progress (no byte received or sent) for this long ends the request.
    std::chrono::seconds idleTimeout{12};
    // The whole request, connection included, may not take longer than this.
    std::chrono::seconds totalTimeout{20};
    // The largest answer body accepted: room for the biggest legitimate one
    // (a 25 MiB file in Base64 inside the pending list) with a wide margin.
    // A larger body fails the request (ViewerError invalidResponse).
    std::size_t maxBodyBytes = std::size_t{64} << 20;
    // Which proxy and which roots; null: the system's, asked before every
    // request.
    std::shared_ptr<const platform::NetworkRoute> route;
};

// libcurl with the route's proxy and trust anchors (never curl's own reading
// of the environment); keeps connections alive between requests (one pool per
// transport). Logs the route to a server when the process first takes one
// and whenever it changes.
std::shared_ptr<HttpTransport> makeCurlTransport(CurlTransportOptions options = {});

} // namespace kova
