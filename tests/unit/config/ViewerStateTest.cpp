#include "config/ViewerState.hpp"
#include "config/AgentConnectionState.hpp"
#include "core/Errors.hpp"
#include "core/Paths.hpp"
#include "core/ViewerLogger.hpp"
#include "support/TempRoot.hpp"

#include <filesystem>
#include <gtest/gtest.h>

namespace kova {
namespace {

class ViewerStateTest : public ::testing::Test {
protected:
    std::string log() const { return root.read(ViewerLogger::logFile()); }
    test::TempRoot root;
};

TEST_F(ViewerStateTest, AbsentFieldsAreOmittedAndDatesRoundTrip) {
    ViewerState only;
    only.deviceUid = "mac-1";
    only.save();
    EXPECT_EQ(root.read(paths::statePath()), "{\n  \"deviceUid\": \"mac-1\"\n}\n");

    ViewerState full;
    full.deviceUid = "u";
    full.supportId = "S-1";
    full.hostname = "host";
    full.lastInventoryAt = *parseIso8601("2026-03-01T14:05:09Z");
    full.lastHeartbeatAt = *parseIso8601("2026-03-01T15:05:09Z");
    full.deviceToken = "secret";
    full.connectionIssue = AgentConnectionIssue::deviceDeactivated;
    full.connectionMessage = "m";
    full.lastConnectionErrorAt = *parseIso8601("2026-03-02T00:00:00Z");
    full.save();
    const auto text = root.read(paths::statePath());
    EXPECT_NE(text.find("\"lastInventoryAt\": \"2026-03-01T14:05:09Z\""), std::string::npos);
    EXPECT_NE(text.find("\"connectionIssue\": \"deviceDeactivated\""), std::string::npos);
    EXPECT_LT(text.find("connectionIssue"), text.find("deviceUid")); // sorted keys
    EXPECT_EQ(ViewerState::load(), full);
}

TEST_F(ViewerStateTest, UndecodableFilesGiveAnEmptyStateAndAnErrorLine) {
    for (const char* bad :
         {R"({"deviceUid":"u","lastHeartbeatAt":"2026-03-01T14:05:09.250Z"})",
          R"({"deviceUid":"u","lastHeartbeatAt":"2026-03-01T14:05:09"})",
          R"({"connectionIssue":"somethingElse"})", R"({"deviceUid":5})", "[]", "nonsense"}) {
        root.write(paths::statePath(), bad);
        EXPECT_EQ(ViewerState::load(), ViewerState{}) << bad;
    }
    EXPECT_NE(log().find("[ERROR] State load failed: could not decode " + paths::statePath().string() + "."),
              std::string::npos);
    // Unknown keys are ignored; a numeric zone offset is an internet date-time too.
    root.write(paths::statePath(),
               R"({"deviceUid":"u","extra":1,"lastHeartbeatAt":"2026-03-01T16:05:09+02:00"})");
    const auto s = ViewerState::load();
    EXPECT_EQ(s.deviceUid, "u");
    EXPECT_EQ(formatIso8601(*s.lastHeartbeatAt), "2026-03-01T14:05:09Z");
}

TEST_F(ViewerStateTest, LegacyStateIsCopiedAndLeftInPlace) {
    root.write(paths::legacyStatePath(), R"({"supportId":"S-9"})");
    EXPECT_EQ(ViewerState::load().supportId, "S-9");
    EXPECT_TRUE(std::filesystem::exists(paths::legacyStatePath()));
    EXPECT_EQ(root.read(paths::statePath()), "{\n  \"supportId\": \"S-9\"\n}\n");
}

TEST_F(ViewerStateTest, SaveFailureIsLoggedNotThrown) {
    // A file where the configuration directory should be makes the save fail.
    std::filesystem::create_directories(paths::fixed("/Library/Application Support"));
    root.write(paths::configDirectory(), "blocking file");
    ViewerState s;
    s.deviceUid = "u";
    EXPECT_NO_THROW(s.save());
    EXPECT_NE(log().find("[ERROR] State save failed: "), std::string::npos);
}

TEST_F(ViewerStateTest, RecordStoresTheClassifiedIssue) {
    ViewerState s;
    s.deviceUid = "u";
    s.save();
    EXPECT_EQ(AgentConnectionState::record(ViewerError::http(410, "gone")),
              AgentConnectionIssue::temporarilyUnavailable);
    auto loaded = ViewerState::load();
    EXPECT_EQ(loaded.deviceUid, "u");
    EXPECT_EQ(loaded.connectionIssue, AgentConnectionIssue::temporarilyUnavailable);
    EXPECT_EQ(loaded.connectionMessage,
              std::string(connectionIssueMessage(AgentConnectionIssue::temporarilyUnavailable)));
    EXPECT_TRUE(loaded.lastConnectionErrorAt.has_value());

    EXPECT_EQ(AgentConnectionState::record(ViewerError::http(401, "Invalid viewer token")),
              AgentConnectionIssue::invalidViewerToken);
    EXPECT_EQ(ViewerState::load().connectionIssue, AgentConnectionIssue::invalidViewerToken);
}

} // namespace
} // namespace kova
