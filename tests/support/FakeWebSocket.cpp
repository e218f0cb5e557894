#include "support/FakeWebSocket.hpp"

namespace kova::test {

void FakeWebSocket::push(std::string payload, bool binary) {
    std::lock_guard lock(mutex_);
    inbox_.push_back({binary, std::move(payload)});
    cv_.notify_all();
}

void FakeWebSocket::endWith(NetworkErrorCode code) {
    std::lock_guard lock(mutex_);
    end_ = code;
    cv_.notify_all();
}

void FakeWebSocket::send(std::string_view text, StopToken) {
    std::lock_guard lock(mutex_);
    if (closed_) {
        throw NetworkError(NetworkErrorCode::cancelled);
    }
    sent_.emplace_back(text);
}

WebSocketMessage FakeWebSocket::receive(StopToken stop) {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, stop, [&] { return !inbox_.empty() || end_ || closed_; });
    if (!inbox_.empty()) {
        auto message = std::move(inbox_.front());
        inbox_.pop_front();
        return message;
    }
    if (end_) {
        throw NetworkError(*end_);
    }
    throw NetworkError(NetworkErrorCode::cancelled);
}

void FakeWebSocket::close(std::uint16_t code) noexcept {
    std::lock_guard lock(mutex_);
    if (!closed_) {
        closed_ = code;
    }
    cv_.notify_all();
}

std::vector<std::string> FakeWebSocket::sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

std::optional<std::uint16_t> FakeWebSocket::closedWith() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

namespace {

class SharedSocket final : public WebSocketConnection {
public:
    explicit SharedSocket(std::shared_ptr<FakeWebSocket> socket) : socket_(std::move(socket)) {}
    void send(std::string_view text, StopToken stop) override { socket_->send(text, stop); }
    WebSocketMessage receive(StopToken stop) override { return socket_->receive(stop); }
    void close(std::uint16_t code) noexcept override { socket_->close(code); }

private:
    std::shared_ptr<FakeWebSocket> socket_;
};

} // namespace

WebSocketConnector connectTo(std::function<std::shared_ptr<FakeWebSocket>()> current) {
    return [current = std::move(current)](const WebSocketRequest&,
                                          StopToken) -> std::unique_ptr<WebSocketConnection> {
        return std::make_unique<SharedSocket>(current());
    };
}

} // namespace kova::test
