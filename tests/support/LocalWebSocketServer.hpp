#pragma once

#include "net/WebSocketClient.hpp"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kova::test {

// A throwaway certificate authority made in memory once per test process. Its
// certificate is what a test client is told to trust.
const std::string& testCaPem();

struct TestCertificate {
    std::string certificatePem;
    std::string privateKeyPem;
};

// A server certificate signed by the test CA; each host becomes a DNS or IP
// subject alternative name.
TestCertificate issueTestCertificate(const std::vector<std::string>& hosts);

// An in-process WebSocket server on 127.0.0.1 (port 0) with its own I/O thread.
// It echoes every message, records what it receives, and can push, close,
// drop, refuse upgrades or stay silent. Any thread may call it.
class LocalWebSocketServer {
public:
    enum class Transport { tls, plain };

    struct Options {
        Transport transport = Transport::tls;
        std::vector<std::string> certificateHosts{"localhost", "127.0.0.1"};
        // Non-zero: every upgrade request is answered with this status and body.
        int rejectStatus = 0;
        std::string rejectBody;
        // Accept TCP connections and never answer (no TLS, no HTTP).
        bool stallHandshake = false;
        // After the upgrade never read: no echo and no pongs.
        bool silent = false;
    };

    struct Upgrade {
        std::string target;
        std::string serverName;                     // TLS SNI, empty when none was sent
        std::map<std::string, std::string> headers; // names in lower case
    };

    explicit LocalWebSocketServer(Options options);
    LocalWebSocketServer();
    ~LocalWebSocketServer();
    LocalWebSocketServer(const LocalWebSocketServer&) = delete;
    LocalWebSocketServer& operator=(const LocalWebSocketServer&) = delete;

    std::uint16_t port() const;
    // "wss://<host>:<port><target>" ("ws://" for the plain transport).
    std::string url(std::string_view target = "/ws", std::string_view host = "127.0.0.1") const;

    std::size_t acceptedConnections() const;
    std::vector<Upgrade> upgrades() const;
    std::vector<WebSocketMessage> received() const;
    // Wait (bounded, so a broken client fails the test instead of hanging it).
    bool waitForReceived(std::size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    std::optional<std::uint16_t>
    waitForClientClose(std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

    // Act on every open session, after the frames queued before.
    void sendToAll(std::string payload, bool binary = false);
    void closeAll(std::uint16_t code, std::string reason = {});
    // Close the TCP connections without a close frame.
    void dropAll();

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kova::test
