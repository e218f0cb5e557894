#pragma once

#include "core/Json.hpp"
#include "core/Stop.hpp"
#include "net/WebSocketClient.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

namespace kova {

// An open WebSocket as the control and signalling code use it; tests
// substitute scripted connections.
class WebSocketConnection {
public:
    virtual ~WebSocketConnection() = default;
    virtual void send(std::string_view text, StopToken stop) = 0;
    virtual WebSocketMessage receive(StopToken stop) = 0;
    virtual void close(std::uint16_t code) noexcept = 0;
};

// Opens a connection for an upgrade request; throws like WebSocketClient, but
// a refused upgrade becomes ViewerError::http(status, body).
using WebSocketConnector =
    std::function<std::unique_ptr<WebSocketConnection>(const WebSocketRequest& request, StopToken stop)>;
WebSocketConnector defaultWebSocketConnector();

// Serialises the sanitised object compactly and sends it as one text frame.
void sendJson(WebSocketConnection& connection, const Json& object, StopToken stop);
// Receives one message (text or binary) that must hold a JSON object:
// otherwise ViewerError::invalidResponse("WebSocket JSON object expected.");
// text that is not JSON throws DecodingError.
Json receiveJson(WebSocketConnection& connection, StopToken stop);

} // namespace kova
