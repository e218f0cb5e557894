#pragma once

#include "core/Errors.hpp"
#include "core/Stop.hpp"
#include "net/WebSocketConnection.hpp"

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace kova::test {

// A scripted WebSocket: receive() hands out queued messages, then throws the
// scripted end (or waits for a stop). Sent frames are recorded.
class FakeWebSocket : public WebSocketConnection {
public:
    void push(std::string payload, bool binary = false);
    void endWith(NetworkErrorCode code);

    void send(std::string_view text, StopToken stop) override;
    WebSocketMessage receive(StopToken stop) override;
    void close(std::uint16_t code) noexcept override;

    std::vector<std::string> sent() const;
    std::optional<std::uint16_t> closedWith() const;

private:
    mutable std::mutex mutex_;
    ConditionVariableAny cv_;
    std::deque<WebSocketMessage> inbox_;
    std::optional<NetworkErrorCode> end_;
    std::vector<std::string> sent_;
    std::optional<std::uint16_t> closed_;
};

// A connector that opens whatever socket `current` names at connect time; the
// test keeps its own handle to inspect it.
WebSocketConnector connectTo(std::function<std::shared_ptr<FakeWebSocket>()> current);

} // namespace kova::test
