#include "net/WebSocketClient.hpp"
#include "core/Base64.hpp"
#include "core/Stop.hpp"
#include "support/CannedProxy.hpp"
#include "support/FakeNetworkRoute.hpp"
#include "support/LocalWebSocketServer.hpp"

#include <future>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#include <thread>
#include <tuple>

namespace kova {
namespace {

using namespace std::chrono_literals;
using test::LocalWebSocketServer;

constexpr const char* secretToken = "Device dev-secret-7f3a";

WebSocketClientOptions trustingTestCa() {
    WebSocketClientOptions options;
    options.extraTrustedCaPem = test::testCaPem();
    // Direct, whatever proxy the environment of the test run names.
    options.route = std::make_shared<test::FakeNetworkRoute>();
    return options;
}

template <class Edit> LocalWebSocketServer::Options serverOptions(Edit edit) {
    LocalWebSocketServer::Options options;
    edit(options);
    return options;
}

WebSocketRequest requestFor(std::string url) {
    return {std::move(url), {{"Authorization", secretToken}}};
}

// The NetworkError code a call fails with; nothing when it does not fail so.
template <class F>
std::optional<NetworkErrorCode> networkErrorOf(F&& call, std::string* description = nullptr) {
    try {
        call();
    } catch (const NetworkError& error) {
        if (description != nullptr) {
            *description = error.what();
        }
        return error.code();
    }
    return std::nullopt;
}

// A blocking receive() on another thread; a hang fails the test instead of
// blocking it (close() releases the thread before the future is destroyed).
template <class T> bool finishes(std::future<T>& future, WebSocketClient& client) {
    if (future.wait_for(5s) == std::future_status::ready) {
        return true;
    }
    client.close();
    return false;
}

TEST(WebSocketClient, EchoesTextAndBinaryAndSendsTheUpgradeHeadersOverTls) {
    LocalWebSocketServer server;
    WebSocketClient client(trustingTestCa());
    client.connect(requestFor(server.url("/api/agent/control?x=1", "localhost")));

    client.send("hello");
    const std::string bytes("\x00\xff\x10zz", 5);
    client.sendBinary(bytes);
    const auto text = client.receive();
    EXPECT_FALSE(text.binary);
    EXPECT_EQ(text.payload, "hello");
    const auto binary = client.receive();
    EXPECT_TRUE(binary.binary);
    EXPECT_EQ(binary.payload, bytes);

    const auto upgrades = server.upgrades();
    ASSERT_EQ(upgrades.size(), 1u);
    EXPECT_EQ(upgrades[0].target, "/api/agent/control?x=1");
    EXPECT_EQ(upgrades[0].serverName, "localhost");
    EXPECT_EQ(upgrades[0].headers.at("authorization"), secretToken);
    EXPECT_EQ(upgrades[0].headers.at("host"), "localhost:" + std::to_string(server.port()));
}

TEST(WebSocketClient, PlainWebSocketEchoes) {
    LocalWebSocketServer server(
        serverOptions([](auto& o) { o.transport = LocalWebSocketServer::Transport::plain; }));
    WebSocketClient client;
    client.connect({server.url(), {}});
    client.send("plain");
    EXPECT_EQ(client.receive().payload, "plain");
    EXPECT_EQ(server.upgrades().at(0).headers.count("authorization"), 0u);
}

TEST(WebSocketClient, ConcurrentSendersNeverInterleaveFrames) {
    LocalWebSocketServer server;
    WebSocketClient client(trustingTestCa());
    client.connect(requestFor(server.url()));

    constexpr int threads = 4;
    constexpr int perThread = 40;
    {
        std::vector<JThread> senders;
        for (int t = 0; t < threads; ++t) {
            senders.emplace_back([&client, t] {
                for (int i = 0; i < perThread; ++i) {
                    // Large enough to need several TCP segments.
                    client.send(std::to_string(t) + ":" + std::to_string(i) + ":" +
                                std::string(20000, 'a' + t));
                }
            });
        }
    }
    ASSERT_TRUE(server.waitForReceived(threads * perThread));
    std::vector<int> next(threads, 0);
    for (const auto& message : server.received()) {
        const auto first = message.payload.find(':');
        const auto second = message.payload.find(':', first + 1);
        const int t = std::stoi(message.payload.substr(0, first));
        EXPECT_EQ(std::stoi(message.payload.substr(first + 1, second - first - 1)), next[t]++);
        EXPECT_EQ(message.payload.substr(second + 1), std::string(20000, 'a' + t));
    }
    std::multiset<std::string> echoed;
    for (int i = 0; i < threads * perThread; ++i) {
        echoed.insert(client.receive().payload);
    }
    std::multiset<std::string> sent;
    for (const auto& message : server.received()) {
        sent.insert(message.payload);
    }
    EXPECT_EQ(echoed, sent);
}

TEST(WebSocketClient, ManyUnreadMessagesAreAllDeliveredInOrder) {
    // More than the read-ahead queue holds: reading pauses and must resume.
    LocalWebSocketServer server;
    WebSocketClient client(trustingTestCa());
    client.connect(requestFor(server.url()));
    constexpr int count = 600;
    for (int i = 0; i < count; ++i) {
        server.sendToAll(std::to_string(i));
    }
    std::this_thread::sleep_for(200ms); // let the queue fill
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(client.receive().payload, std::to_string(i));
    }
    client.send("after");
    EXPECT_EQ(client.receive().payload, "after");
}

TEST(WebSocketClient, StopTokenCancelsReceiveAndKeepsTheConnection) {
    LocalWebSocketServer server;
    WebSocketClient client(trustingTestCa());
    client.connect(requestFor(server.url()));

    StopSource stop;
    auto pending = std::async(std::launch::async,
                              [&] { return networkErrorOf([&] { client.receive(stop.get_token()); }); });
    std::this_thread::sleep_for(50ms); // let it block
    stop.request_stop();
    ASSERT_TRUE(finishes(pending, client));
    EXPECT_EQ(pending.get(), NetworkErrorCode::cancelled);

    client.send("still open");
    EXPECT_EQ(client.receive().payload, "still open");
}

TEST(WebSocketClient, CloseFromAnotherThreadEndsReceiveAndSendsGoingAway) {
    LocalWebSocketServer server;
    WebSocketClient client(trustingTestCa());
    client.connect(requestFor(server.url()));

    auto pending = std::async(std::launch::async, [&] { return networkErrorOf([&] { client.receive(); }); });
    std::this_thread::sleep_for(50ms);
    client.close(WebSocketClient::goingAway);
    ASSERT_TRUE(finishes(pending, client));
    EXPECT_EQ(pending.get(), NetworkErrorCode::cancelled);
    EXPECT_EQ(server.waitForClientClose(), 1001);
    EXPECT_EQ(networkErrorOf([&] { client.send("late"); }), NetworkErrorCode::cancelled);
    client.close(); // idempotent
}

TEST(WebSocketClient, DestroyingAnOpenClientClosesWithGoingAway) {
    LocalWebSocketServer server;
    {
        WebSocketClient client(trustingTestCa());
        client.connect(requestFor(server.url()));
    }
    EXPECT_EQ(server.waitForClientClose(), 1001);
}

TEST(WebSocketClient, ServerCloseIsReportedWithItsCodeAfterEarlierMessages) {
    LocalWebSocketServer server;
    WebSocketClient client(trustingTestCa());
    client.connect(requestFor(server.url()));

    server.sendToAll("last words");
    server.closeAll(1000, "bye");
    EXPECT_EQ(client.receive().payload, "last words");
    try {
        client.receive();
        FAIL() << "receive after the server's close frame must throw";
    } catch (const WebSocketClosedError& closed) {
        EXPECT_EQ(closed.code(), NetworkErrorCode::networkConnectionLost);
        EXPECT_EQ(closed.closeCode(), 1000);
        EXPECT_EQ(closed.reason(), "bye");
    }
    // The session is over: sending fails the same way instead of hanging.
    EXPECT_EQ(networkErrorOf([&] { client.send("x"); }), NetworkErrorCode::networkConnectionLost);
}

TEST(WebSocketClient, DroppedConnectionIsConnectionLost) {
    LocalWebSocketServer server;
    WebSocketClient client(trustingTestCa());
    client.connect(requestFor(server.url()));
    server.dropAll();
    try {
        client.receive();
        FAIL() << "receive on a dropped connection must throw";
    } catch (const NetworkError& error) {
        EXPECT_EQ(error.code(), NetworkErrorCode::networkConnectionLost);
        EXPECT_EQ(dynamic_cast<const WebSocketClosedError*>(&error), nullptr);
    }
}

TEST(WebSocketClient, UntrustedCertificateFailsBeforeAnyRequestIsSent) {
    LocalWebSocketServer server;
    LocalWebSocketServer wrongName(serverOptions([](auto& o) { o.certificateHosts = {"other.invalid"}; }));
    struct Case {
        const char* name;
        LocalWebSocketServer& server;
        WebSocketClientOptions options;
    } cases[] = {
        {"system store only", server, {}},
        {"trusted CA, other host name", wrongName, trustingTestCa()},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        WebSocketClient client(c.options);
        std::string description;
        EXPECT_EQ(networkErrorOf([&] { client.connect(requestFor(c.server.url())); }, &description),
                  NetworkErrorCode::serverCertificateUntrusted);
        EXPECT_EQ(description.find("dev-secret"), std::string::npos);
        EXPECT_GE(c.server.acceptedConnections(), 1u);
        EXPECT_TRUE(c.server.upgrades().empty()); // the Authorization header never left the client
    }
}

TEST(WebSocketClient, UpgradeRejectionCarriesStatusAndBody) {
    const std::string body = R"({"detail":"invalid device token"})";
    LocalWebSocketServer server(serverOptions([&](auto& o) {
        o.rejectStatus = 401;
        o.rejectBody = body;
    }));
    WebSocketClient client(trustingTestCa());
    try {
        client.connect(requestFor(server.url()));
        FAIL() << "a 401 upgrade answer must throw";
    } catch (const WebSocketUpgradeError& error) {
        EXPECT_EQ(error.status(), 401);
        EXPECT_EQ(error.body(), body);
        EXPECT_EQ(std::string(error.what()).find("dev-secret"), std::string::npos);
    }
}

TEST(WebSocketClient, RefusedConnectionIsCannotConnectToHost) {
    std::string url;
    {
        LocalWebSocketServer gone; // a port that was just free and now has no listener
        url = gone.url();
    }
    WebSocketClient client(trustingTestCa());
    EXPECT_EQ(networkErrorOf([&] { client.connect(requestFor(url)); }),
              NetworkErrorCode::cannotConnectToHost);
}

TEST(WebSocketClient, TimeoutsWhileConnectingAndWhenThePeerGoesSilent) {
    LocalWebSocketServer stalled(serverOptions([](auto& o) { o.stallHandshake = true; }));
    auto options = trustingTestCa();
    options.connectTimeout = 200ms;
    WebSocketClient waiting(options);
    EXPECT_EQ(networkErrorOf([&] { waiting.connect(requestFor(stalled.url())); }),
              NetworkErrorCode::timedOut);

    // A peer that stops answering (not even pongs) is noticed without any traffic of ours.
    LocalWebSocketServer silent(serverOptions([](auto& o) { o.silent = true; }));
    options.idleTimeout = 300ms;
    WebSocketClient idle(options);
    idle.connect(requestFor(silent.url()));
    auto pending = std::async(std::launch::async, [&] { return networkErrorOf([&] { idle.receive(); }); });
    ASSERT_TRUE(finishes(pending, idle));
    EXPECT_EQ(pending.get(), NetworkErrorCode::timedOut);
}

TEST(WebSocketClient, StopTokenAbortsConnect) {
    LocalWebSocketServer stalled(serverOptions([](auto& o) { o.stallHandshake = true; }));
    WebSocketClient client(trustingTestCa());
    StopSource stop;
    auto pending = std::async(std::launch::async, [&] {
        return networkErrorOf([&] { client.connect(requestFor(stalled.url()), stop.get_token()); });
    });
    std::this_thread::sleep_for(50ms);
    stop.request_stop();
    ASSERT_EQ(pending.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(pending.get(), NetworkErrorCode::cancelled);
}

TEST(WebSocketClient, OversizedMessageEndsTheConnection) {
    LocalWebSocketServer server;
    auto options = trustingTestCa();
    options.maxMessageBytes = 1024;
    WebSocketClient client(options);
    client.connect(requestFor(server.url()));
    server.sendToAll(std::string(4096, 'x'));
    EXPECT_TRUE(networkErrorOf([&] { client.receive(); }).has_value());
}

TEST(WebSocketClient, RejectsMalformedUrlsAndHeadersWithoutEchoingSecrets) {
    for (const char* url : {"https://example.com/", "wss://", "not a url", "wss://user:pw@example.com/",
                            "wss://exa%00mple.com/", "wss://example.com:0/"}) {
        WebSocketClient client;
        EXPECT_THROW(client.connect({url, {}}), std::invalid_argument) << url;
    }
    const std::vector<std::pair<std::string, std::string>> bad[] = {
        {{"Authorization", "Bearer dev-secret\r\nX-Injected: 1"}},
        {{"Authorization", std::string("Bearer dev-secret\0x", 19)}},
        {{"Bad Name", "v"}},
        {{"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="}},
    };
    for (const auto& headers : bad) {
        WebSocketClient client;
        try {
            client.connect({"wss://127.0.0.1:1/", headers});
            ADD_FAILURE() << "accepted " << headers[0].first;
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(std::string(error.what()).find("dev-secret"), std::string::npos);
        }
    }
}

TEST(WebSocketClient, TrustsTheRoutesAnchorsInsteadOfTheDefaultStore) {
    LocalWebSocketServer server;
    WebSocketClientOptions trusting;
    trusting.route = std::make_shared<test::FakeNetworkRoute>(std::nullopt, test::testCaPem());
    WebSocketClient client(trusting);
    client.connect(requestFor(server.url("/ws", "localhost")));
    client.send("through");
    EXPECT_EQ(client.receive().payload, "through");

    // A platform that yields no roots at all: nothing verifies.
    WebSocketClientOptions none;
    none.route = std::make_shared<test::FakeNetworkRoute>(std::nullopt, std::string());
    WebSocketClient refused(none);
    EXPECT_EQ(networkErrorOf([&] { refused.connect(requestFor(server.url())); }),
              NetworkErrorCode::serverCertificateUntrusted);
}

TEST(WebSocketClient, AProxyThatRefusesOrFailsIsAConnectionFailureNamingIt) {
    platform::Proxy proxy{"127.0.0.1", 0, "anna", "tajne:hasło"};
    const std::string url = "wss://desk.example.com:8443/api/agent/control?token=x";
    // A refusal or an answer that is no HTTP would come again: no transient
    // error for the callers' retry. A proxy that drops the request might not.
    using enum NetworkErrorCode;
    const std::vector<std::tuple<std::string, NetworkErrorCode, std::string>> cases{
        {"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"corp\"\r\n"
         "Content-Length: 0\r\n\r\n",
         other, "refused the tunnel with HTTP 407"},
        {"HTTP/1.1 403 Forbidden\r\n\r\n", other, "refused the tunnel with HTTP 403"},
        {"HTTP/1.0 502 Bad Gateway\r\n\r\n<html>x</html>", other, "refused the tunnel with HTTP 502"},
        {"", cannotConnectToHost, "closed the connection without answering the tunnel request"},
        {"HTTP/1.1 200 Connection established\r\nX-Pad: " + std::string(20000, 'a') + "\r\n\r\n", other,
         "answered the tunnel request with more than 16384 bytes of headers"},
        {"garbage\r\n\r\n", other, "sent no valid answer to the tunnel request"},
    };
    for (const auto& [answer, code, expected] : cases) {
        test::CannedProxy canned(answer);
        proxy.port = canned.port();
        WebSocketClientOptions options;
        options.route = std::make_shared<test::FakeNetworkRoute>(proxy);
        WebSocketClient client(options);
        std::string description;
        EXPECT_EQ(networkErrorOf([&] { client.connect(requestFor(url)); }, &description), code) << expected;
        EXPECT_NE(description.find("the proxy " + proxy.endpoint() + " " + expected), std::string::npos)
            << description;
        EXPECT_EQ(description.find("tajne"), std::string::npos) << description;
        // The server's name is the proxy's to resolve; its own headers stay for the server.
        const auto requests = canned.requests();
        ASSERT_EQ(requests.size(), 1u) << expected;
        EXPECT_TRUE(requests[0].starts_with("CONNECT desk.example.com:8443 HTTP/1.1\r\n")) << requests[0];
        EXPECT_NE(requests[0].find("\r\nHost: desk.example.com:8443\r\n"), std::string::npos);
        EXPECT_NE(
            requests[0].find("\r\nProxy-Authorization: Basic " + base64Encoded("anna:tajne:hasło") + "\r\n"),
            std::string::npos);
        EXPECT_EQ(requests[0].find("\r\nAuthorization:"), std::string::npos);
    }

    // A proxy that is not there at all.
    {
        test::CannedProxy gone("");
        proxy.port = gone.port();
    }
    WebSocketClientOptions options;
    options.route = std::make_shared<test::FakeNetworkRoute>(proxy);
    WebSocketClient client(options);
    std::string description;
    EXPECT_EQ(networkErrorOf([&] { client.connect(requestFor(url)); }, &description),
              NetworkErrorCode::cannotConnectToHost);
    EXPECT_NE(description.find("the proxy " + proxy.endpoint() + " cannot be reached"), std::string::npos)
        << description;
}

} // namespace
} // namespace kova
