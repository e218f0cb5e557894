#pragma once

#include "core/Errors.hpp"
#include "core/Stop.hpp"
#include "platform/NetworkRoute.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kova {

// What to open: a "ws://" or "wss://" URL and extra upgrade headers. Header
// values may be secrets ("Authorization"); they are sent and never appear in
// an error text.
struct WebSocketRequest {
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
};

struct WebSocketClientOptions {
    // Bound on each step of opening (resolve, TCP, TLS, upgrade) without progress.
    std::chrono::milliseconds connectTimeout{std::chrono::seconds(12)};
    // An open socket that receives nothing for half of this gets a ping; for all
    // of it, the connection ends with timedOut. Zero turns it off.
    std::chrono::milliseconds idleTimeout{std::chrono::seconds(60)};
    // How long close() waits for queued frames and the closing handshake.
    std::chrono::milliseconds closeTimeout{std::chrono::seconds(3)};
    // Larger incoming messages end the connection instead of being buffered.
    std::size_t maxMessageBytes = 16 * 1024 * 1024;
    // Test seam: one more PEM trust anchor on top of the system trust store.
    // The product leaves it empty; certificate and host name checks stay on.
    std::string extraTrustedCaPem;
    // Which proxy and which roots; null: the system's.
    std::shared_ptr<const platform::NetworkRoute> route;
};

struct WebSocketMessage {
    bool binary = false;
    std::string payload;
};

// The peer ended the session with a close frame: a networkConnectionLost that
// also carries the close code and reason the peer gave.
class WebSocketClosedError : public NetworkError {
public:
    WebSocketClosedError(std::uint16_t closeCode, std::string reason);
    std::uint16_t closeCode() const { return closeCode_; }
    const std::string& reason() const { return reason_; }

private:
    std::uint16_t closeCode_;
    std::string reason_;
};

// The server answered the upgrade request with an HTTP status other than 101.
class WebSocketUpgradeError : public std::exception {
public:
    WebSocketUpgradeError(int status, std::string body);
    int status() const { return status_; }
    const std::string& body() const { return body_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    int status_;
    std::string body_;
    std::string description_;
};

// One client WebSocket connection (single use: connect once, then send and
// receive until it ends). Owns an I/O thread that runs every socket operation;
// incoming messages are read ahead into a bounded queue.
//
// Threads: connect() once from any thread. After it returns, send(), receive()
// and close() may be called from any threads at the same time. The destructor
// must not race with other calls; it closes with 1001 if still open, then
// stops and joins the I/O thread.
//
// Failures are thrown as NetworkError (WebSocketClosedError when the peer
// closed), WebSocketUpgradeError for a refused upgrade, std::invalid_argument
// for a malformed URL, header or trust anchor.
class WebSocketClient {
public:
    static constexpr std::uint16_t goingAway = 1001;

    explicit WebSocketClient(WebSocketClientOptions options = {});
    ~WebSocketClient();
    WebSocketClient(const WebSocketClient&) = delete;
    WebSocketClient& operator=(const WebSocketClient&) = delete;

    // Asks the route for a proxy (and logs the route taken), resolves,
    // connects, opens a CONNECT tunnel through the proxy when there is one,
    // verifies the server certificate against the route's roots and
    // upgrades. A proxy that refuses or fails is a NetworkError naming the
    // proxy. A stop request or close() aborts it (cancelled).
    void connect(const WebSocketRequest& request, StopToken stop = {});

    // Blocks until the frame is written. Frames of concurrent senders are never
    // interleaved. On a stop request an unsent frame is dropped (cancelled).
    void send(std::string_view text, StopToken stop = {});
    void sendBinary(std::string_view data, StopToken stop = {});

    // The next message. Messages that arrived before a failure are returned
    // first, then the failure is thrown. A stop request throws cancelled and
    // leaves the connection and the queued messages intact.
    WebSocketMessage receive(StopToken stop = {});

    // Flushes queued frames, sends a close frame and waits for the peer's reply
    // (bounded by closeTimeout). Pending and later receive() and send() calls
    // throw cancelled. Idempotent; never throws.
    void close(std::uint16_t code = goingAway) noexcept;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kova
