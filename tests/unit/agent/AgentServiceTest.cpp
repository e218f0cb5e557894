#include "agent/AgentService.hpp"
#include "chat/RemoteChatStore.hpp"
#include "core/Errors.hpp"
#include "core/Paths.hpp"
#include "core/Sleeper.hpp"
#include "core/Stop.hpp"
#include "core/ViewerLogger.hpp"
#include "support/FakeAuditSource.hpp"
#include "support/FakeProcessRunner.hpp"
#include "support/FakeSystemFacts.hpp"
#include "support/ScriptedHttpTransport.hpp"
#include "support/TempRoot.hpp"

#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace kova {
namespace {

using test::headerValue;

class AgentServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        settings.serverBaseUrl = "https://desk.example.com";
        settings.viewerToken = "ACME";
    }
    // Builds the service after the test has prepared the state file.
    AgentService& service() {
        if (!service_) {
            auto client = std::make_shared<KovaDeskApiClient>(settings, transport, nullptr, sleeper);
            service_ = std::make_unique<AgentService>(
                settings, AgentServiceDependencies{audit, client, runner, {}, nullptr, interfaces, facts});
        }
        return *service_;
    }
    std::string log() const { return root.read(ViewerLogger::logFile()); }
    std::vector<HttpRequest> requestsTo(std::string_view fragment) const {
        std::vector<HttpRequest> out;
        for (auto& r : transport->requests()) {
            if (r.url.find(fragment) != std::string::npos) {
                out.push_back(r);
            }
        }
        return out;
    }
    void registered(std::optional<std::string> token = std::nullopt) {
        ViewerState s;
        s.deviceUid = "mac-1";
        s.supportId = "S-1";
        s.deviceToken = std::move(token);
        s.save();
    }

    test::TempRoot root;
    ViewerSettings settings = ViewerSettings::defaults();
    std::shared_ptr<test::ScriptedHttpTransport> transport = std::make_shared<test::ScriptedHttpTransport>();
    std::shared_ptr<test::RecordingSleeper> sleeper = std::make_shared<test::RecordingSleeper>();
    std::shared_ptr<test::FakeAuditSource> audit = std::make_shared<test::FakeAuditSource>();
    std::shared_ptr<test::FakeProcessRunner> runner = std::make_shared<test::FakeProcessRunner>();
    std::shared_ptr<test::FakeSystemFacts> facts = std::make_shared<test::FakeSystemFacts>();
    // The scan never sees this machine's interfaces here.
    IpScanner::InterfaceSource interfaces = [] {
        return std::vector<platform::Ipv4InterfaceAddress>{{"en0", 0xCB007101, 0xFFFFFFFC, false}};
    };
    std::unique_ptr<AgentService> service_;
};

TEST_F(AgentServiceTest, InventoryFillsIdentifiersByTheirFallbacks) {
    transport->respond(200, R"({"device_code":"DC-7","device_token":"tok-1"})");
    EXPECT_TRUE(service().sendInventory("initial_registration").succeeded);
    auto state = ViewerState::load();
    EXPECT_EQ(state.deviceUid, "uid-from-audit");
    EXPECT_EQ(state.supportId, "DC-7");
    EXPECT_EQ(state.hostname, "audit-host");
    EXPECT_EQ(state.deviceToken, "tok-1") << "the token stored by the client survives the service's save";
    EXPECT_TRUE(state.lastInventoryAt);
    EXPECT_NE(log().find(
                  "[INFO] Inventory sent successfully. reason=initial_registration device_uid=uid-from-audit "
                  "support_id=DC-7"),
              std::string::npos);

    // None of the four support keys: the previous one stays; the server's uid wins.
    audit->payload.erase("hostname");
    transport->respond(200, R"({"device_uid":"srv-uid"})");
    service().sendInventory("timer");
    state = ViewerState::load();
    EXPECT_EQ(state.deviceUid, "srv-uid");
    EXPECT_EQ(state.supportId, "DC-7");
    EXPECT_EQ(state.hostname, "audit-host");
    EXPECT_EQ(state.deviceToken, "tok-1");
    EXPECT_EQ(headerValue(transport->requests().back(), "Authorization"), "Device tok-1");
}

TEST_F(AgentServiceTest, FailuresAreRecordedAndASuccessClearsThem) {
    transport->respond(404, "nope"); // classifies as no issue
    const auto outcome = service().sendHeartbeat("timer");
    EXPECT_FALSE(outcome.succeeded);
    EXPECT_EQ(outcome.message,
              std::string(connectionIssueMessage(AgentConnectionIssue::temporarilyUnavailable)));
    auto state = ViewerState::load();
    EXPECT_EQ(state.connectionIssue, AgentConnectionIssue::temporarilyUnavailable);
    EXPECT_NE(log().find("[ERROR] Heartbeat failed: HTTP 404: nope"), std::string::npos);
    EXPECT_EQ(log().find("[INFO] Heartbeat sent"), std::string::npos);

    transport->respond(401, R"({"detail":"invalid viewer token"})");
    EXPECT_EQ(service().sendInventory("timer").message,
              std::string(connectionIssueMessage(AgentConnectionIssue::invalidViewerToken)));
    EXPECT_EQ(ViewerState::load().connectionIssue, AgentConnectionIssue::invalidViewerToken);

    transport->respond(200, "{}");
    EXPECT_TRUE(service().sendHeartbeat("timer").succeeded);
    state = ViewerState::load();
    EXPECT_FALSE(state.connectionIssue);
    EXPECT_FALSE(state.connectionMessage);
    EXPECT_FALSE(state.lastConnectionErrorAt);
    EXPECT_TRUE(state.lastHeartbeatAt);
    EXPECT_NE(log().find("Heartbeat sent successfully. reason=timer device_uid=- support_id=-"),
              std::string::npos);
}

TEST_F(AgentServiceTest, IdentityPrefersTheStateThenTheAudit) {
    audit->facts = {};
    audit->hostName.reset();
    EXPECT_FALSE(service().identity()) << "no device uid anywhere: no identity";

    audit->facts.deviceUid = "u-audit";
    auto id = service().identity();
    ASSERT_TRUE(id);
    EXPECT_EQ(id->hostname, "Mac");
    EXPECT_FALSE(id->supportId);
    audit->hostName = "Kasia's MacBook";
    EXPECT_EQ(service().identity()->hostname, "Kasia's MacBook");

    transport->respond(200, R"({"device_uid":"u-state","support_id":"S-2"})");
    audit->payload = Json{{"hostname", "h-audit"}};
    service().sendInventory("x");
    audit->facts.loggedInUser = "jan";
    id = service().identity();
    EXPECT_EQ(id->deviceUid, "u-state");
    EXPECT_EQ(id->supportId, "S-2");
    EXPECT_EQ(id->hostname, "h-audit");
    EXPECT_EQ(id->loggedInUser, "jan");
    EXPECT_EQ(audit->collections, 1) << "identity() never runs the full audit";
}

TEST_F(AgentServiceTest, CommandsAreDispatchedAndReported) {
    registered("tok");
    runner->add("/bin/bash", {"-lc", "echo hi"}, "hi\n");
    transport->respond(200, R"([
        {"id": 1, "command_type": "Shell", "payload": {}},
        {"id": 2, "command_type": "shell", "payload": {"shell": " BASH ", "command": "echo hi"}},
        {"id": 3, "command_type": "shell", "payload": {"command": "   "}},
        {"id": 4, "command_type": "force_audit"},
        {"id": 5, "command_type": "file_list", "payload": {"path": "relative/missing"}}
    ])");
    transport->respond(200, "{}"); // 1 failed (unsupported)
    transport->respond(200, "{}"); // 2 completed
    transport->respond(200, "{}"); // 3 failed
    transport->respond(503, "");   // 4: inventory fails twice...
    transport->respond(503, "");
    transport->respond(200, "{}"); // ...and still completes with audit_sent
    transport->respond(200, "{}"); // 5 failed: no such directory
    service().processPendingCommands(std::nullopt, "timer");

    const auto updates = requestsTo("/status");
    ASSERT_EQ(updates.size(), 5u);
    const auto body = [&](std::size_t i) { return Json::parse(*updates[i].body); };
    EXPECT_EQ(body(0),
              (Json{{"status", "failed"}, {"result", {{"error", "Unsupported macOS command Shell"}}}}));
    EXPECT_EQ(body(1)["status"], "completed");
    EXPECT_EQ(body(1)["result"]["stdout"], "hi\n");
    EXPECT_EQ(body(1)["result"]["executable"], "/bin/bash");
    EXPECT_EQ(body(2)["status"], "failed");
    EXPECT_EQ(body(2)["result"]["platform"], "macos");
    EXPECT_NE(body(2)["result"]["error"].get<std::string>().find("Command cannot be empty."),
              std::string::npos);
    EXPECT_NE(body(2)["result"]["error"].get<std::string>().find("KovaViewerShell"), std::string::npos);
    EXPECT_EQ(body(3), (Json{{"status", "completed"}, {"result", {{"audit_sent", true}}}}));
    EXPECT_EQ(body(4)["status"], "failed");
    EXPECT_NE(log().find("[INFO] Processing 5 pending commands. reason=timer type=all"), std::string::npos);
    EXPECT_NE(log().find("[ERROR] Command handling failed id=3: "), std::string::npos);
    EXPECT_EQ(log().find("failed id=1"), std::string::npos) << "unsupported types log no ERROR";
    EXPECT_EQ(transport->remaining(), 0u);
}

TEST_F(AgentServiceTest, FetchOutcomesAndChatDelivery) {
    // No device yet: nothing fetched, nothing delivered.
    RemoteChatStore::saveOutgoing("pub", "hello", "Jan");
    service().processPendingCommands(std::nullopt, "timer");
    EXPECT_TRUE(transport->requests().empty());
    EXPECT_EQ(RemoteChatStore::outgoingMessageFiles().size(), 1u);
    service_.reset();

    registered();
    // A failed fetch delivers nothing.
    transport->respond(404, "");
    service().processPendingCommands(std::string("user_notify"), "chat_timer");
    EXPECT_EQ(transport->requests().size(), 1u);
    EXPECT_NE(log().find("[ERROR] Command polling failed: HTTP 404"), std::string::npos);

    // An empty list still delivers, with the fetch's reason; a corrupt file is
    // dropped without a request, a failed send keeps its file.
    root.write(RemoteChatStore::directory() / "pub.1.X.outgoing.json", "{not json");
    RemoteChatStore::saveOutgoing("pub2", "second", "Jan");
    transport->respond(200, "[]");
    transport->respond(201, "{}");
    transport->respond(400, "bad");
    service().processPendingCommands(std::string("user_notify"), "chat_timer");
    const auto chats = requestsTo("/chat-messages");
    ASSERT_EQ(chats.size(), 2u);
    EXPECT_EQ(Json::parse(*chats[0].body)["text"], "hello");
    EXPECT_NE(log().find("reason=commands_chat_timer"), std::string::npos);
    const auto left = RemoteChatStore::outgoingMessageFiles();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(RemoteChatStore::read(left[0])->text, "second");
    EXPECT_NE(log().find("[ERROR] Remote chat reply send failed id="), std::string::npos);
}

// Any local user can add files to the shared chat directory: only replies of
// the user at the console (and root's) go out as this Mac's.
TEST_F(AgentServiceTest, ChatRepliesAreRelayedOnlyForTheConsoleUser) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give files to other users";
    }
    registered();
    for (const char* text : {"from root", "from the console user", "planted"}) {
        RemoteChatStore::saveOutgoing("pub", text, "Anna");
    }
    for (const auto& path : RemoteChatStore::outgoingMessageFiles()) {
        const auto text = RemoteChatStore::read(path)->text;
        if (text != "from root") {
            ASSERT_EQ(::chown(path.c_str(), text == "planted" ? 777 : 501, 20), 0);
        }
    }
    const auto sent = [&] {
        std::vector<std::string> texts;
        for (const auto& r : requestsTo("/chat-messages")) {
            texts.push_back(Json::parse(*r.body)["text"]);
        }
        return texts;
    };
    for (int i = 0; i < 2; ++i) {
        transport->respond(201, "{}");
    }
    // Nobody at the console: a user's replies wait for them.
    facts->consoleUid.reset();
    service().sendPendingChatMessages("timer");
    EXPECT_EQ(sent(), (std::vector<std::string>{"from root"}));
    EXPECT_EQ(RemoteChatStore::outgoingMessageFiles().size(), 2u);

    facts->consoleUid = 501;
    service().sendPendingChatMessages("timer");
    service().sendPendingChatMessages("timer");
    EXPECT_EQ(sent(), (std::vector<std::string>{"from root", "from the console user"}));
    EXPECT_TRUE(RemoteChatStore::outgoingMessageFiles().empty()) << "the planted file is removed";
    const auto ignored = "[WARN] Remote chat reply ignored: ";
    EXPECT_NE(log().find(std::string(ignored) + "pub."), std::string::npos);
    EXPECT_NE(log().find(".outgoing.json belongs to user 777, who is not logged in at the console.\n"),
              std::string::npos);
    EXPECT_EQ(log().find(ignored), log().rfind(ignored)) << "logged once";
}

TEST_F(AgentServiceTest, DeviceCommandsReachTheirHandlers) {
    registered();
    runner->add("/sbin/ping", {"-c", "1", "-W", "350", "203.0.113.2"}, "64 bytes: time=1.5 ms");
    transport->respond(200, R"([
        {"id": 1, "command_type": "user_notify",
         "payload": {"message": "Dzień dobry", "sender": "  ", "chat_message_id": "9"}},
        {"id": 2, "command_type": "user_notify", "payload": {"message": " ", "public_id": "rs-1",
         "chat_message_id": 9}},
        {"id": 3, "command_type": "ip_scan", "payload": {"resolve_hostnames": false}},
        {"id": 4, "command_type": "file_download", "payload": {"path": " "}}
    ])");
    for (int i = 0; i < 4; ++i) {
        transport->respond(200, "{}");
    }
    service().processPendingCommands(std::nullopt, "timer");

    const auto updates = requestsTo("/status");
    ASSERT_EQ(updates.size(), 4u);
    const auto body = [&](std::size_t i) { return Json::parse(*updates[i].body); };
    EXPECT_EQ(body(0)["result"], (Json{{"shown", true},
                                       {"title", "Kova-Desk"},
                                       {"message", "Dzień dobry"},
                                       {"sender", "  "},
                                       {"public_id", "device-mac-1"}}));
    const auto files = RemoteChatStore::incomingMessageFiles();
    ASSERT_EQ(files.size(), 1u) << "an empty message stores nothing";
    const auto stored = RemoteChatStore::read(files[0]);
    EXPECT_EQ(stored->publicId, "device-mac-1");
    EXPECT_EQ(stored->sender, "Konsultant");
    EXPECT_EQ(body(1)["result"]["chat_message_id"], 9);
    EXPECT_NE(log().find("[INFO] User notification queued for menu bar. title=Kova-Desk public_id=rs-1"),
              std::string::npos);

    const auto scan = body(2)["result"];
    EXPECT_EQ(body(2)["status"], "completed");
    EXPECT_EQ(scan["network_count"], 1);
    EXPECT_EQ(scan["networks"][0]["hosts"],
              (Json::array({{{"ip", "203.0.113.2"}, {"status", "up"}, {"latency_ms", 1.5}}})));

    EXPECT_EQ(body(3)["status"], "failed");
    EXPECT_EQ(body(3)["result"]["error"],
              "Error Domain=KovaViewerFileTransfer Code=400 \"Path cannot be empty.\"");
}

TEST(AgentServiceLoops, WaitsComeFromTheSettings) {
    test::TempRoot root;
    auto settings = ViewerSettings::defaults();
    settings.auditIntervalMinutes = 2; // below the floor the loop enforces itself
    settings.heartbeatIntervalSeconds = 90;
    settings.commandPollIntervalSeconds = 45;
    settings.chatPollIntervalSeconds = 3;
    AgentService service(settings, {std::make_shared<test::FakeAuditSource>(),
                                    nullptr,
                                    std::make_shared<test::FakeProcessRunner>(),
                                    {},
                                    {}});
    const auto loops = service.timedLoops();
    ASSERT_EQ(loops.size(), 5u);
    std::vector<std::pair<std::string, std::int64_t>> got;
    for (const auto& l : loops)
        got.emplace_back(l.name, l.wait.count());
    EXPECT_EQ(got, (std::vector<std::pair<std::string, std::int64_t>>{{"audit", 300},
                                                                      {"heartbeat", 90},
                                                                      {"command poll", 45},
                                                                      {"notification poll", 3},
                                                                      {"chat delivery", 3}}));

    // Values too large for the clock mean "very long", never an overflow to "now".
    settings.auditIntervalMinutes = INT64_MAX;
    EXPECT_EQ(AgentService::auditLoopWait(settings), longestWait);
    EXPECT_EQ(boundedWait(std::chrono::seconds(10000000000)), longestWait);
    EXPECT_EQ(boundedWait(std::chrono::seconds(90)), std::chrono::seconds(90));
    // Such a wait really waits: only the stop ends it.
    StopSource source;
    JThread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        source.request_stop();
    });
    EXPECT_FALSE(sleepFor(source.get_token(), std::chrono::seconds(INT64_MAX)));
}

} // namespace
} // namespace kova
