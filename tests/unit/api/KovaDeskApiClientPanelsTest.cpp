// The ticket and customer-panel operations of the client, over the scripted transport.
#include "api/KovaDeskApiClient.hpp"
#include "core/Errors.hpp"
#include "support/ScriptedHttpTransport.hpp"

#include <gtest/gtest.h>
#include <regex>

namespace kova {
namespace {

using test::headerValue;

class FixedTokenStore : public DeviceTokenStoring {
public:
    explicit FixedTokenStore(std::optional<std::string> token) : token_(std::move(token)) {}
    std::optional<std::string> load() override { return token_; }
    void save(const std::string& token) override { token_ = token; }
    void clear() override { token_.reset(); }
    std::optional<std::string> token_;
};

struct Client {
    explicit Client(std::optional<std::string> deviceToken = "dev-tok") {
        auto settings = ViewerSettings::defaults();
        settings.serverBaseUrl = "https://desk.example.com/";
        settings.viewerToken = "ACME";
        client = std::make_unique<KovaDeskApiClient>(
            settings, transport, std::make_shared<FixedTokenStore>(std::move(deviceToken)),
            std::make_shared<test::RecordingSleeper>());
    }
    std::shared_ptr<test::ScriptedHttpTransport> transport = std::make_shared<test::ScriptedHttpTransport>();
    std::unique_ptr<KovaDeskApiClient> client;
};

constexpr const char* kTicketAnswer = R"({"public_id":"KOVA-000001","subject":"s","status":"new"})";
constexpr const char* kSession = R"({"access_token":"cs_secret","expires_at":"2026-03-01T14:05:09Z",
    "customer":{"email":"anna@example.com","full_name":"Anna","can_view_organization_tickets":false}})";

std::string requestIdOf(const HttpRequest& request) {
    return Json::parse(*request.body)["client_request_id"].get<std::string>();
}

TEST(KovaDeskApiClientTickets, RequestIdIsNewPerCallAndKeptOnRetry) {
    Client c;
    ViewerState state;
    state.deviceUid = "mac-1";
    AgentTicketDraft draft;
    draft.subject = "Drukarka";
    c.transport->respond(503);
    c.transport->respond(201, kTicketAnswer);
    const auto before = nowSeconds();
    EXPECT_EQ(c.client->createTicket(draft, state).displayNumber(), "#000001");
    c.transport->respond(201, kTicketAnswer);
    c.client->createTicket(draft, state);

    const auto rs = c.transport->requests();
    ASSERT_EQ(rs.size(), 3u);
    EXPECT_EQ(rs[0].method, "POST");
    EXPECT_EQ(rs[0].url, "https://desk.example.com/api/agent/tickets");
    EXPECT_EQ(headerValue(rs[0], "Authorization"), "Device dev-tok");
    EXPECT_EQ(rs[1].body, rs[0].body);
    EXPECT_NE(requestIdOf(rs[2]), requestIdOf(rs[0]));
    for (const auto& r : rs) {
        EXPECT_TRUE(std::regex_match(
            requestIdOf(r),
            std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")));
    }
    const auto body = Json::parse(*rs[0].body);
    EXPECT_EQ(body["device_uid"], "mac-1");
    const auto submitted =
        parseIso8601(body["source_metadata"]["client_app"]["submitted_at"].get<std::string>());
    ASSERT_TRUE(submitted);
    EXPECT_GE(*submitted, before);
    EXPECT_LE(*submitted, nowSeconds());

    // A rejected device token repeats the same submission with the company token.
    c.transport->respond(401, R"({"detail":"invalid device token"})");
    c.transport->respond(201, "{}");
    EXPECT_THROW(c.client->createTicket(draft, state), DecodingError);
    const auto again = c.transport->requests();
    EXPECT_EQ(headerValue(again[4], "Authorization"), "Bearer ACME");
    EXPECT_EQ(again[4].body, again[3].body);
}

TEST(KovaDeskApiClientCustomer, NoDeviceAuthorisationSessionHeaderAndClamps) {
    Client c;
    c.transport->respond(200, kSession);
    EXPECT_EQ(c.client->loginCustomer("anna@example.com", "p\"ss").customer.fullName, "Anna");
    auto r = c.transport->requests().back();
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.url, "https://desk.example.com/api/customer/session");
    EXPECT_EQ(Json::parse(*r.body), (Json{{"email", "anna@example.com"}, {"password", "p\"ss"}}));
    EXPECT_EQ(headerValue(r, "Authorization"), std::nullopt);
    EXPECT_EQ(headerValue(r, "X-Customer-Session"), std::nullopt);
    EXPECT_EQ(headerValue(r, "Content-Type"), "application/json");

    const struct {
        std::int64_t after, limit;
        const char* query;
    } rows[] = {
        {-5, 0, "after_message_id=0&limit=1"},
        {12, 500, "after_message_id=12&limit=50"},
        {INT64_MIN, INT64_MIN, "after_message_id=0&limit=1"},
        {INT64_MAX, 20, "after_message_id=9223372036854775807&limit=20"},
    };
    for (const auto& row : rows) {
        c.transport->respond(200, R"({"items":[],"cursor":0,"has_more":false})");
        c.client->customerTicketNotifications("cs_secret", row.after, row.limit);
        r = c.transport->requests().back();
        EXPECT_EQ(r.url,
                  std::string("https://desk.example.com/api/customer/ticket-notifications?") + row.query);
        EXPECT_EQ(r.method, "GET");
        EXPECT_EQ(headerValue(r, "X-Customer-Session"), "cs_secret");
        EXPECT_EQ(headerValue(r, "Authorization"), std::nullopt);
    }
    c.transport->respond(200, R"({"items":[],"cursor":0,"has_more":false})");
    c.client->customerTicketNotifications("", 0, 20);
    EXPECT_EQ(headerValue(c.transport->requests().back(), "X-Customer-Session"), std::nullopt);

    // A 401 reaches the caller as it is; a token that would split the header
    // is never sent, and neither it nor the password shows in any message.
    c.transport->respond(401, R"({"detail":"customer session expired"})");
    try {
        c.client->customerTicketNotifications("cs_secret", 0, 20);
        ADD_FAILURE();
    } catch (const ViewerError& e) {
        EXPECT_EQ(e.status(), 401);
    }
    const auto sent = c.transport->requests().size();
    try {
        c.client->customerTicketNotifications("cs_secret\r\nX-Evil: 1", 0, 20);
        ADD_FAILURE();
    } catch (const ViewerError& e) {
        EXPECT_EQ(std::string(e.what()).find("cs_secret"), std::string::npos);
    }
    EXPECT_EQ(c.transport->requests().size(), sent);
    c.transport->respond(200, R"({"access_token":"cs_secret"})");
    try {
        c.client->loginCustomer("anna@example.com", "hunter2");
        ADD_FAILURE();
    } catch (const DecodingError& e) {
        EXPECT_EQ(std::string(e.what()).find("hunter2"), std::string::npos);
        EXPECT_EQ(std::string(e.what()).find("cs_secret"), std::string::npos);
    }
}

} // namespace
} // namespace kova
