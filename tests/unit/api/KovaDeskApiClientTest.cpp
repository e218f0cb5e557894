#include "api/KovaDeskApiClient.hpp"
#include "core/Errors.hpp"
#include "support/ScriptedHttpTransport.hpp"

#include <gtest/gtest.h>

namespace kova {
namespace {

using test::headerValue;

// A token store in memory, counting clears.
class MemoryTokenStore : public DeviceTokenStoring {
public:
    explicit MemoryTokenStore(std::optional<std::string> token = std::nullopt) : token_(std::move(token)) {}
    std::optional<std::string> load() override { return token_; }
    void save(const std::string& token) override { token_ = token; }
    void clear() override {
        token_.reset();
        ++clears;
    }
    std::optional<std::string> token_;
    int clears = 0;
};

struct Fixture {
    explicit Fixture(std::optional<std::string> deviceToken = std::nullopt,
                     std::string viewerToken = " ACME \n", std::string base = "https://desk.example.com///") {
        settings.serverBaseUrl = std::move(base);
        settings.viewerToken = std::move(viewerToken);
        store = std::make_shared<MemoryTokenStore>(std::move(deviceToken));
        client = std::make_unique<KovaDeskApiClient>(settings, transport, store, sleeper);
    }
    ViewerSettings settings = ViewerSettings::defaults();
    std::shared_ptr<test::ScriptedHttpTransport> transport = std::make_shared<test::ScriptedHttpTransport>();
    std::shared_ptr<test::RecordingSleeper> sleeper = std::make_shared<test::RecordingSleeper>();
    std::shared_ptr<MemoryTokenStore> store;
    std::unique_ptr<KovaDeskApiClient> client;
};

ViewerError catchViewerError(const std::function<void()>& f) {
    try {
        f();
    } catch (const ViewerError& e) {
        return e;
    }
    ADD_FAILURE() << "no ViewerError thrown";
    return ViewerError::configuration("none");
}

TEST(KovaDeskApiClientRetry, OneRetryForRetryableStatusesAndTransientErrors) {
    {
        Fixture f;
        f.transport->respond(503, "busy");
        f.transport->respond(200, R"({"device_uid":"u"})");
        EXPECT_EQ(f.client->sendInventory(Json::object()).deviceUid, "u");
        ASSERT_EQ(f.sleeper->waits().size(), 1u);
        EXPECT_EQ(f.sleeper->waits()[0], std::chrono::nanoseconds(750'000'000));
    }
    {
        Fixture f;
        f.transport->respond(503);
        f.transport->respond(502);
        const auto e = catchViewerError([&] { f.client->sendHeartbeat(Json::object()); });
        EXPECT_EQ(e.kind(), ViewerErrorKind::temporarilyUnavailable);
        EXPECT_EQ(
            e.description(),
            "Serwer jest chwilowo niedostępny lub trwa jego aktualizacja. Spróbuj ponownie za kilka sekund.");
        EXPECT_EQ(f.transport->requests().size(), 2u);
    }
    {
        Fixture f;
        f.transport->respond(501, "not here");
        const auto e = catchViewerError([&] { f.client->sendHeartbeat(Json::object()); });
        EXPECT_EQ(e.kind(), ViewerErrorKind::http);
        EXPECT_EQ(e.status(), 501);
        EXPECT_EQ(e.body(), "not here");
        EXPECT_EQ(f.transport->requests().size(), 1u);
        EXPECT_TRUE(f.sleeper->waits().empty());
    }
    {
        Fixture f;
        f.transport->fail(NetworkErrorCode::timedOut);
        f.transport->fail(NetworkErrorCode::cannotConnectToHost);
        const auto e = catchViewerError([&] { f.client->sendHeartbeat(Json::object()); });
        EXPECT_EQ(e.description(),
                  "Nie udało się połączyć z serwerem. Sprawdź połączenie z Internetem i spróbuj ponownie.");
    }
    {
        Fixture f; // a transient error then a retryable status: still only two sends
        f.transport->fail(NetworkErrorCode::networkConnectionLost);
        f.transport->respond(500);
        EXPECT_EQ(catchViewerError([&] { f.client->sendHeartbeat(Json::object()); }).kind(),
                  ViewerErrorKind::temporarilyUnavailable);
    }
    {
        Fixture f; // an untrusted certificate is not transient: thrown at once, unchanged
        f.transport->fail(NetworkErrorCode::serverCertificateUntrusted);
        try {
            f.client->sendHeartbeat(Json::object());
            ADD_FAILURE();
        } catch (const NetworkError& e) {
            EXPECT_EQ(e.code(), NetworkErrorCode::serverCertificateUntrusted);
        }
        EXPECT_EQ(f.transport->requests().size(), 1u);
    }
    {
        Fixture f; // a body that is not UTF-8 is reported as empty
        f.transport->respond(418, "\xFF\xFE");
        EXPECT_EQ(catchViewerError([&] { f.client->sendHeartbeat(Json::object()); }).body(), "");
    }
}

TEST(KovaDeskApiClientAuthorization, SchemesAndFallback) {
    {
        Fixture f("dev-tok");
        f.transport->respond(200, "{}");
        f.client->sendHeartbeat(Json::object());
        const auto r = f.transport->requests().at(0);
        EXPECT_EQ(headerValue(r, "Authorization"), "Device dev-tok");
        EXPECT_EQ(headerValue(r, "Accept"), "application/json");
        EXPECT_EQ(headerValue(r, "Content-Type"), "application/json");
        EXPECT_EQ(headerValue(r, "X-Customer-Session"), std::nullopt);
        EXPECT_EQ(r.url, "https://desk.example.com/api/agent/devices/heartbeat");
    }
    {
        Fixture f(std::nullopt, "  ");
        f.transport->respond(200, "[]");
        f.client->pendingCommands("u", std::nullopt);
        const auto r = f.transport->requests().at(0);
        EXPECT_EQ(headerValue(r, "Authorization"), std::nullopt);
        EXPECT_EQ(headerValue(r, "Content-Type"), std::nullopt);
        EXPECT_FALSE(r.body.has_value());
    }
    {
        Fixture f("dev-tok");
        f.transport->respond(401, R"({"detail":"invalid device token"})");
        f.transport->respond(200, "{}");
        f.client->sendHeartbeat(Json::object());
        const auto rs = f.transport->requests();
        ASSERT_EQ(rs.size(), 2u);
        EXPECT_EQ(headerValue(rs[1], "Authorization"), "Bearer ACME");
        EXPECT_EQ(rs[1].body, rs[0].body);
        EXPECT_EQ(f.store->clears, 1);
    }
    {
        Fixture f("dev-tok", "");
        f.transport->respond(401, "invalid device token");
        f.transport->respond(401, R"({"detail":"missing viewer token"})");
        const auto e = catchViewerError([&] { f.client->sendHeartbeat(Json::object()); });
        EXPECT_EQ(e.status(), 401);
        EXPECT_NE(e.body().find("missing viewer token"), std::string::npos);
        EXPECT_EQ(headerValue(f.transport->requests().at(1), "Authorization"), std::nullopt);
    }
    {
        Fixture f; // a viewer token refused is not a reason to repeat
        f.transport->respond(401, "invalid device token");
        EXPECT_EQ(catchViewerError([&] { f.client->sendHeartbeat(Json::object()); }).status(), 401);
        EXPECT_EQ(f.transport->requests().size(), 1u);
    }
}

TEST(KovaDeskApiClientAuthorization, RecoveryAndWebSocketRequest) {
    Fixture f("dev-tok");
    const auto ws = f.client->authenticatedWebSocketRequest("wss://desk.example.com/api/agent/control");
    ASSERT_EQ(ws.headers.size(), 1u);
    EXPECT_EQ(ws.headers[0].second, "Device dev-tok");
    EXPECT_FALSE(f.client->recoverInvalidDeviceToken(ViewerError::http(401, "invalid viewer token")));
    EXPECT_TRUE(f.client->recoverInvalidDeviceToken(ViewerError::http(401, "Invalid device token")));
    EXPECT_FALSE(f.client->recoverInvalidDeviceToken(ViewerError::http(401, "Invalid device token")));
    EXPECT_EQ(f.client->authenticatedWebSocketRequest("wss://x/").headers.at(0).second, "Bearer ACME");
}

TEST(KovaDeskApiClientEndpoints, RegistrationStoresTheToken) {
    Fixture f("old");
    f.transport->respond(200, R"({"device_uid":"u","support_id":"S-1"})");
    EXPECT_EQ(f.client->sendInventory(Json{{"a", 1}}).supportId, "S-1");
    EXPECT_EQ(f.store->token_, "old");
    f.transport->respond(200, R"({"device_uid":"u","device_token":"new","extra":[1]})");
    f.client->sendInventory(Json::object());
    EXPECT_EQ(f.store->token_, "new");
    f.transport->respond(200, R"({"device_uid":7})");
    EXPECT_THROW(f.client->sendInventory(Json::object()), DecodingError);
    f.transport->respond(200, "not json");
    EXPECT_THROW(f.client->sendInventory(Json::object()), DecodingError);

    // A token that could inject header lines is no token; blank identifiers are absent.
    f.transport->respond(200, R"({"device_uid":" ","support_id":"","device_token":"evil\r\nX-Injected: 1"})");
    const auto refused = f.client->sendInventory(Json::object());
    EXPECT_TRUE(refused.deviceTokenRefused);
    EXPECT_FALSE(refused.deviceToken || refused.deviceUid || refused.supportId);
    EXPECT_EQ(f.store->token_, "new");
    f.transport->respond(200, R"({"device_uid":" u2 ","device_token":"to\u0085k"})");
    const auto trimmedUid = f.client->sendInventory(Json::object());
    EXPECT_EQ(trimmedUid.deviceUid, "u2");
    EXPECT_TRUE(trimmedUid.deviceTokenRefused);
}

TEST(KovaDeskApiClientEndpoints, PendingCommandsPathsAndConversion) {
    Fixture f;
    f.transport->respond(200, R"([
        {"id": 1, "command_type": "shell", "payload": {"command": "ls"}},
        {"id": "2", "command_type": "shell"},
        {"id": 3, "commandType": "force_audit"},
        {"id": 4, "command_type": 5, "commandType": "shell", "payload": [1]},
        {"id": 5.5, "command_type": "x"}
    ])");
    const auto commands = f.client->pendingCommands("mac one/ż", std::string("   "));
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0].payload["command"], "ls");
    EXPECT_EQ(commands[1].commandType, "force_audit");
    EXPECT_EQ(commands[1].payload, Json::object());
    EXPECT_EQ(commands[2].id, 4);
    EXPECT_EQ(commands[2].commandType, "");
    EXPECT_EQ(f.transport->requests().at(0).url,
              "https://desk.example.com/api/agent/devices/mac%20one/%C5%BC/commands/pending");

    f.transport->respond(200, R"([{"id": 1}, "x"])");
    EXPECT_TRUE(f.client->pendingCommands("u", std::string("user_notify")).empty());
    EXPECT_EQ(f.transport->requests().at(1).url,
              "https://desk.example.com/api/agent/devices/u/commands/pending?command_type=user_notify");
    f.transport->respond(200, R"({"items": []})");
    EXPECT_TRUE(f.client->pendingCommands("u", std::nullopt).empty());
    f.transport->respond(200, "<html>");
    EXPECT_THROW(f.client->pendingCommands("u", std::nullopt), DecodingError);
}

TEST(KovaDeskApiClientEndpoints, BodiesAndQueries) {
    Fixture f;
    f.transport->respond(200, "{}");
    f.client->updateCommand(42, "completed", Json{{"ok", true}, {"missing", nullptr}});
    auto r = f.transport->requests().back();
    EXPECT_EQ(r.url, "https://desk.example.com/api/agent/device-commands/42/status");
    EXPECT_EQ(*r.body, R"({"result":{"missing":null,"ok":true},"status":"completed"})");

    f.transport->respond(200,
                         R"({"platform":"macos","architecture":"arm64","channel":"stable","version":"0.3.0",
        "url":"https://x/p.pkg","mandatory":false,"silent_args":[]})");
    const auto m = f.client->updateManifest("macos", "arm64", "0.2.55&channel=beta", "stable");
    EXPECT_EQ(m.sha256, std::nullopt);
    EXPECT_EQ(m.sizeBytes, std::nullopt);
    EXPECT_EQ(
        f.transport->requests().back().url,
        "https://desk.example.com/api/agent/viewer/updates/"
        "manifest?platform=macos&architecture=arm64&current_version=0.2.55%26channel%3Dbeta&channel=stable");
    f.transport->respond(200,
                         R"({"platform":"macos","architecture":"arm64","channel":"stable","version":"0.3.0",
        "url":"u","mandatory":false})");
    EXPECT_THROW(f.client->updateManifest("macos", "arm64", "1", "stable"), DecodingError);

    f.transport->respond(201, "{}");
    f.client->sendChatMessage("u 1",
                              {"Cześć", "Jan", "pub-1", "local-1", *parseIso8601("2026-03-01T14:05:09Z")});
    r = f.transport->requests().back();
    EXPECT_EQ(r.url, "https://desk.example.com/api/agent/devices/u%201/chat-messages");
    EXPECT_EQ(Json::parse(*r.body), (Json{{"text", "Cześć"},
                                          {"sender", "Jan"},
                                          {"public_id", "pub-1"},
                                          {"client_message_id", "local-1"},
                                          {"sent_at", "2026-03-01T14:05:09Z"}}));

    f.transport->respond(200, "{}");
    f.client->updateRemoteStatus("rs-1", "failed", std::string("boom"), Json{{"k", "v"}});
    f.transport->respond(200, "{}");
    f.client->updateRemoteStatus("../../devices/x?y", "connecting", std::nullopt, Json::object());
    const auto rs = f.transport->requests();
    EXPECT_EQ(rs[rs.size() - 2].url, "https://desk.example.com/api/agent/remote/sessions/rs-1/status");
    EXPECT_EQ(Json::parse(*rs[rs.size() - 2].body)["error_message"], "boom");
    EXPECT_EQ(rs.back().url,
              "https://desk.example.com/api/agent/remote/sessions/..%2F..%2Fdevices%2Fx%3Fy/status");
    EXPECT_FALSE(Json::parse(*rs.back().body).contains("error_message"));
}

TEST(KovaDeskApiClientEndpoints, InvalidBaseUrlNamesThePath) {
    Fixture f(std::nullopt, "A", "not a url");
    const auto e = catchViewerError([&] { f.client->pendingCommands("u", std::string("t")); });
    EXPECT_EQ(e.description(), "Invalid URL for /api/agent/devices/u/commands/pending?command_type=t.");
    EXPECT_TRUE(f.transport->requests().empty());
}

TEST(SanitizeJson, NullsAndNonFiniteNumbers) {
    Json in = {{"a", nullptr}, {"b", {1.5, std::nan("")}}, {"c", {{"d", "x"}}}};
    EXPECT_EQ(sanitizeJson(in), (Json{{"a", nullptr}, {"b", {1.5, nullptr}}, {"c", {{"d", "x"}}}}));
}

} // namespace
} // namespace kova
