#include "net/WebSocketConnection.hpp"

#include "core/Errors.hpp"

namespace kova {
namespace {

class ClientConnection final : public WebSocketConnection {
public:
    void open(const WebSocketRequest& request, StopToken stop) {
        try {
            client_.connect(request, stop);
        } catch (const WebSocketUpgradeError& refused) {
            throw ViewerError::http(refused.status(), refused.body());
        }
    }
    void send(std::string_view text, StopToken stop) override { client_.send(text, stop); }
    WebSocketMessage receive(StopToken stop) override { return client_.receive(stop); }
    void close(std::uint16_t code) noexcept override { client_.close(code); }

private:
    WebSocketClient client_;
};

} // namespace

WebSocketConnector defaultWebSocketConnector() {
    return [](const WebSocketRequest& request, StopToken stop) -> std::unique_ptr<WebSocketConnection> {
        auto connection = std::make_unique<ClientConnection>();
        connection->open(request, stop);
        return connection;
    };
}

void sendJson(WebSocketConnection& connection, const Json& object, StopToken stop) {
    connection.send(compactJson(sanitizeJson(object)), stop);
}

Json receiveJson(WebSocketConnection& connection, StopToken stop) {
    const auto message = connection.receive(stop);
    auto json = parseJson(message.payload, "The WebSocket message");
    if (!json.is_object()) {
        throw ViewerError::invalidResponse("WebSocket JSON object expected.");
    }
    return json;
}

} // namespace kova
