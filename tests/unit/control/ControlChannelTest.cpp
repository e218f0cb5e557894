#include "control/ControlChannel.hpp"
#include "core/Errors.hpp"
#include "core/Stop.hpp"
#include "core/ViewerLogger.hpp"
#include "support/FakeWebSocket.hpp"
#include "support/ScriptedHttpTransport.hpp"
#include "support/TempRoot.hpp"

#include <gtest/gtest.h>

namespace kova {
namespace {

using namespace std::chrono_literals;

class MemoryTokenStore : public DeviceTokenStoring {
public:
    std::optional<std::string> load() override { return token; }
    void save(const std::string& t) override { token = t; }
    void clear() override { token.reset(); }
    std::optional<std::string> token;
};

// Stops the loop once the sleeper has recorded enough waits.
class StoppingSleeper : public Sleeper {
public:
    StoppingSleeper(StopSource& source, std::size_t limit) : source_(source), limit_(limit) {}
    bool sleep(StopToken, std::chrono::nanoseconds d) override {
        waits.push_back(std::chrono::duration_cast<std::chrono::seconds>(d).count());
        if (waits.size() >= limit_) {
            source_.request_stop();
        }
        return true;
    }
    std::vector<std::int64_t> waits;

private:
    StopSource& source_;
    std::size_t limit_;
};

struct Harness {
    Harness() {
        settings.serverBaseUrl = "https://desk.example.com:8443/prefix/";
        settings.viewerToken = "ACME";
        settings.controlReconnectMaxSeconds = 5;
        client = std::make_shared<KovaDeskApiClient>(settings, transport, store,
                                                     std::make_shared<test::RecordingSleeper>());
    }
    ControlChannel channel(WebSocketConnector connector, std::shared_ptr<Sleeper> sleeper = {}) {
        return ControlChannel(
            settings, client, std::make_unique<RemoteSessionAgent>(settings, client, connector),
            [this](const std::exception& e) { recorded.push_back(errorDescription(e)); }, connector,
            std::move(sleeper));
    }
    test::TempRoot root;
    ViewerSettings settings = ViewerSettings::defaults();
    std::shared_ptr<test::ScriptedHttpTransport> transport = std::make_shared<test::ScriptedHttpTransport>();
    std::shared_ptr<MemoryTokenStore> store = std::make_shared<MemoryTokenStore>();
    std::shared_ptr<KovaDeskApiClient> client;
    std::vector<std::string> recorded;
    std::vector<WebSocketRequest> upgrades;
};

AgentIdentity identity() {
    return {"mac-1", std::nullopt, "host", std::nullopt};
}

TEST(ControlChannel, UrlAndMessages) {
    Harness h;
    EXPECT_EQ(h.channel({}).controlUrl(), "wss://desk.example.com:8443/api/agent/control");
    h.settings.serverBaseUrl = "http://desk.example.com/x?y=1";
    EXPECT_EQ(h.channel({}).controlUrl(), "ws://desk.example.com/api/agent/control?y=1");

    const auto hello = ControlChannel::hello(identity());
    EXPECT_TRUE(hello.contains("support_id"));
    EXPECT_TRUE(hello["support_id"].is_null());
    EXPECT_EQ(hello["agent_version"], "0.2.55");
    EXPECT_EQ(hello["capabilities"].size(), 7u);
    EXPECT_EQ(hello["capabilities"]["permissions_required"],
              (Json{"screen_recording", "accessibility", "input_monitoring"}));
    const auto beat = ControlChannel::heartbeat({"u", "S-1", "h", "anna"});
    EXPECT_EQ(beat["support_id"], "S-1");
    EXPECT_EQ(beat["platform"], "macos");
    EXPECT_TRUE(parseIso8601(beat["sentAt"].get<std::string>()));
}

TEST(ControlChannel, BackOffDoublesUpToTheCeilingAndRecordsEveryFailure) {
    Harness h;
    h.store->token = "dev";
    StopSource source;
    auto sleeper = std::make_shared<StoppingSleeper>(source, 4);
    int attempts = 0;
    auto channel = h.channel(
        [&](const WebSocketRequest& request, StopToken) -> std::unique_ptr<WebSocketConnection> {
            h.upgrades.push_back(request);
            if (++attempts == 1) {
                throw ViewerError::http(401, R"({"detail":"invalid device token"})");
            }
            throw NetworkError(NetworkErrorCode::cannotConnectToHost);
        },
        sleeper);
    channel.runForever(
        source.get_token(), [] { return std::optional<AgentIdentity>(identity()); }, [](StopToken) {});
    EXPECT_EQ(sleeper->waits, (std::vector<std::int64_t>{2, 4, 5, 5}));
    EXPECT_EQ(h.recorded.size(), 4u);
    // The refused device token is dropped; the next upgrade uses the viewer token.
    ASSERT_GE(h.upgrades.size(), 2u);
    EXPECT_EQ(h.upgrades[0].headers.at(0).second, "Device dev");
    EXPECT_EQ(h.upgrades[1].headers.at(0).second, "Bearer ACME");
    EXPECT_EQ(h.upgrades[1].url, "wss://desk.example.com:8443/api/agent/control");
}

TEST(ControlChannel, WaitsForAnIdentity) {
    Harness h;
    StopSource source;
    auto sleeper = std::make_shared<StoppingSleeper>(source, 2);
    auto channel = h.channel({}, sleeper);
    channel.runForever(
        source.get_token(), [] { return std::optional<AgentIdentity>(); }, [](StopToken) {});
    EXPECT_EQ(sleeper->waits, (std::vector<std::int64_t>{5, 5}));
    EXPECT_NE(h.root.read(ViewerLogger::logFile()).find("[WARN] Control WSS waits for device identity."),
              std::string::npos);
}

TEST(ControlChannel, IncomingMessages) {
    Harness h;
    auto socket = std::make_shared<test::FakeWebSocket>();
    const auto connector = test::connectTo([&] { return socket; });
    int wakes = 0;
    socket->push(R"({"type":"control-ready"})");
    socket->push(R"({"type":"agent_command.queued"})", true); // binary frames are JSON too
    socket->push(R"({"no_type":1})");
    socket->push(R"({"type":"remote_session.requested","session":{}})");
    socket->push(R"({"type":"control-rejected"})");
    auto channel = h.channel(connector);
    try {
        channel.connect(
            identity(), [] { return std::optional<AgentIdentity>(identity()); }, [&](StopToken) { ++wakes; },
            {});
        ADD_FAILURE() << "control-rejected must end the connection";
    } catch (const ViewerError& e) {
        EXPECT_EQ(e.kind(), ViewerErrorKind::http);
        EXPECT_EQ(e.status(), 401);
        EXPECT_EQ(e.body(), "");
    }
    EXPECT_EQ(wakes, 1);
    EXPECT_EQ(socket->closedWith(), 1001);
    const auto sent = socket->sent();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(Json::parse(sent[0])["type"], "hello");
    const auto log = h.root.read(ViewerLogger::logFile());
    EXPECT_NE(log.find("[INFO] Control WSS ready."), std::string::npos);
    EXPECT_NE(log.find("[INFO] Control WSS wake-up received for command type=-"), std::string::npos);
    EXPECT_NE(log.find("[INFO] Control WSS message type=message"), std::string::npos);
    EXPECT_NE(log.find("[WARN] Malformed remote_session.requested event."), std::string::npos);

    auto second = std::make_shared<test::FakeWebSocket>();
    socket = second;
    second->push("[1,2]");
    try {
        channel.connect(
            identity(), [] { return std::optional<AgentIdentity>(identity()); }, [](StopToken) {}, {});
        ADD_FAILURE();
    } catch (const ViewerError& e) {
        EXPECT_EQ(e.description(), "WebSocket JSON object expected.");
    }
}

TEST(RemoteSessionRequest, FromControlMessageVariants) {
    auto r = RemoteSessionRequest::fromControlMessage(Json::parse(
        R"({"type":"remote_session.requested","session":{"publicId":"rs-1","controlUrls":{"signaling":"wss://s/x","status":"https://s/st"}}})"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->publicId, "rs-1");
    EXPECT_EQ(r->signalingUrl, "wss://s/x");
    EXPECT_EQ(r->statusUrl, "https://s/st");
    EXPECT_EQ(r->metadata, Json::object());
    r = RemoteSessionRequest::fromControlMessage(Json::parse(
        R"({"type":"remote_session.requested","session":{"public_id":"rs-2","publicId":"no","control_urls":{},"relay_url":"wss://relay","metadata":{"a":1}}})"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->publicId, "rs-2");
    EXPECT_EQ(r->signalingUrl, "wss://relay");
    EXPECT_EQ(r->metadata["a"], 1);
    EXPECT_FALSE(RemoteSessionRequest::fromControlMessage(Json::parse(R"({"type":"other","session":{}})")));
    EXPECT_FALSE(RemoteSessionRequest::fromControlMessage(
        Json::parse(R"({"type":"remote_session.requested","session":{"public_id":5}})")));
}

TEST(RemoteSessionAgent, MissingSignalingUrlAndTheOffer) {
    Harness h;
    h.transport->respond(200, "{}");
    h.transport->respond(200, "{}");
    RemoteSessionAgent agent(h.settings, h.client, {});
    agent.handle({"rs-1", std::nullopt, std::nullopt, Json::object()});
    auto requests = h.transport->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(Json::parse(*requests[0].body)["status"], "agent_ready");
    const auto failed = Json::parse(*requests[1].body);
    EXPECT_EQ(failed["status"], "failed");
    EXPECT_EQ(failed["error_message"], "Remote session is missing signaling URL.");
    EXPECT_EQ(failed["metadata"], RemoteSessionAgent::remoteMetadata());
    EXPECT_EQ(failed["metadata"].size(), 9u);

    auto socket = std::make_shared<test::FakeWebSocket>();
    socket->push(R"({"type":"ice-candidate"})");
    socket->push(R"({"type":"offer","sdp":"x"})");
    for (int i = 0; i < 3; ++i)
        h.transport->respond(200, "{}");
    RemoteSessionAgent withSocket(h.settings, h.client, test::connectTo([&] { return socket; }));
    withSocket.handle({"rs-2", std::nullopt, std::string("wss://desk.example.com/sig"), Json::object()});
    requests = h.transport->requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(Json::parse(*requests[3].body)["status"], "connecting");
    EXPECT_EQ(
        Json::parse(*requests[4].body)["error_message"],
        "macOS remote media engine needs GoogleWebRTC XCFramework plus ScreenCaptureKit capture. Signaling "
        "works, media is not bundled yet.");
    EXPECT_EQ(socket->closedWith(), 1001);
    EXPECT_NE(h.root.read(ViewerLogger::logFile()).find("Remote signaling message type=ice-candidate"),
              std::string::npos);
}

} // namespace
} // namespace kova
