#include "config/ViewerSettings.hpp"
#include "core/Errors.hpp"
#include "core/Paths.hpp"
#include "support/TempRoot.hpp"

#include <cstdlib>
#include <gtest/gtest.h>

namespace kova {
namespace {

std::string settingsJson(const std::string& url, const std::string& extra = "",
                         const std::string& heartbeat = "300") {
    return R"({"serverBaseUrl":")" + url + R"(","viewerToken":" ABC \n","auditIntervalMinutes":360,)" +
           R"("heartbeatIntervalSeconds":)" + heartbeat +
           R"(,"commandPollIntervalSeconds":60,"chatPollIntervalSeconds":2,"controlReconnectMaxSeconds":30)" +
           extra + "}";
}

// Keeps the environment variable away from the developer's own shell.
class ViewerSettingsTest : public ::testing::Test {
protected:
    void SetUp() override { ::unsetenv("KOVA_VIEWER_SETTINGS_PATH"); }
    void TearDown() override { ::unsetenv("KOVA_VIEWER_SETTINGS_PATH"); }
    test::TempRoot root;
};

TEST_F(ViewerSettingsTest, ValidateClampsEveryInterval) {
    struct Case {
        std::int64_t in, out;
    };
    const auto check = [](auto field, std::initializer_list<Case> cases) {
        for (const auto& c : cases) {
            auto s = ViewerSettings::defaults();
            s.*field = c.in;
            s.validate();
            EXPECT_EQ(s.*field, c.out) << "input " << c.in;
        }
    };
    check(&ViewerSettings::auditIntervalMinutes, {{-3, 5}, {4, 5}, {5, 5}, {720, 720}});
    check(&ViewerSettings::heartbeatIntervalSeconds,
          {{30, 300}, {29, 60}, {45, 60}, {60, 60}, {90, 90}, {-1, 60}});
    check(&ViewerSettings::commandPollIntervalSeconds, {{0, 30}, {29, 30}, {31, 31}});
    check(&ViewerSettings::chatPollIntervalSeconds, {{0, 1}, {-5, 1}, {3, 3}, {10, 5}});
    check(&ViewerSettings::controlReconnectMaxSeconds, {{1, 5}, {60, 60}, {1000, 300}});
}

TEST_F(ViewerSettingsTest, ValidateServerUrl) {
    auto s = ViewerSettings::defaults();
    s.serverBaseUrl = "  https://desk.example.com/api///  \n";
    s.validate();
    EXPECT_EQ(s.serverBaseUrl, "https://desk.example.com/api");

    s.serverBaseUrl = "HTTPS://Desk.Example.com";
    EXPECT_NO_THROW(s.validate());

    for (const char* bad : {"http://desk.example.com", "desk.example.com", "https://", "",
                            "https:// bad host", "ftp://desk.example.com"}) {
        auto t = ViewerSettings::defaults();
        t.serverBaseUrl = bad;
        t.chatPollIntervalSeconds = 50;
        try {
            t.validate();
            ADD_FAILURE() << "accepted " << bad;
        } catch (const ViewerError& e) {
            EXPECT_EQ(e.kind(), ViewerErrorKind::configuration);
            EXPECT_EQ(e.description(), "serverBaseUrl must be a valid HTTPS URL.");
        }
        // Normalisation happened before the check failed.
        EXPECT_EQ(t.chatPollIntervalSeconds, 5);
    }
    EXPECT_EQ(s.normalizedServerBaseUrl(), "HTTPS://Desk.Example.com");
    s.viewerToken = " \t ";
    EXPECT_FALSE(s.hasViewerToken());
}

TEST_F(ViewerSettingsTest, DecodingRequiresSevenKeysWithTheirTypes) {
    const auto s = ViewerSettings::decode(settingsJson("https://a.example", R"(,"unknown":[1])"), "f");
    EXPECT_TRUE(s.notificationsEnabled);
    EXPECT_EQ(s.viewerToken, " ABC \n"); // taken as it stands; only validate trims
    EXPECT_FALSE(
        ViewerSettings::decode(settingsJson("https://a.example", R"(,"notificationsEnabled":false)"), "f")
            .notificationsEnabled);
    EXPECT_EQ(
        ViewerSettings::decode(settingsJson("https://a.example", "", "300.0"), "f").heartbeatIntervalSeconds,
        300);

    auto missing = settingsJson("https://a.example");
    missing.replace(missing.find(R"("commandPollIntervalSeconds":60,)"), 31, "");
    EXPECT_THROW(ViewerSettings::decode(missing, "f"), DecodingError);
    EXPECT_THROW(ViewerSettings::decode(settingsJson("https://a.example", "", "\"300\""), "f"),
                 DecodingError);
    EXPECT_THROW(ViewerSettings::decode(settingsJson("https://a.example", "", "30.5"), "f"), DecodingError);
    EXPECT_THROW(
        ViewerSettings::decode(settingsJson("https://a.example", R"(,"notificationsEnabled":1)"), "f"),
        DecodingError);
    EXPECT_THROW(ViewerSettings::decode("[]", "f"), DecodingError);
    EXPECT_THROW(ViewerSettings::decode("{", "f"), DecodingError);
}

TEST_F(ViewerSettingsTest, LoadOrderAndMissingFile) {
    try {
        ViewerSettings::load();
        ADD_FAILURE() << "loaded without a file";
    } catch (const ViewerError& e) {
        EXPECT_EQ(e.description(), "sekwo.settings.json was not found.");
    }

    root.write(paths::configPath(), settingsJson("https://main.example"));
    const auto env = root.path() / "env.json";
    root.write(env, settingsJson("https://env.example"));
    ::setenv("KOVA_VIEWER_SETTINGS_PATH", env.c_str(), 1);
    EXPECT_EQ(ViewerSettings::load().serverBaseUrl, "https://env.example");

    ::setenv("KOVA_VIEWER_SETTINGS_PATH", (root.path() / "missing.json").c_str(), 1);
    const auto s = ViewerSettings::load();
    EXPECT_EQ(s.serverBaseUrl, "https://main.example");
    EXPECT_EQ(s.viewerToken, "ABC");

    // An undecodable first candidate is an error, not a reason to look further.
    root.write(paths::configPath(), "{not json");
    root.write(paths::legacyConfigPath(), settingsJson("https://legacy.example"));
    EXPECT_THROW(ViewerSettings::load(), DecodingError);
}

TEST_F(ViewerSettingsTest, LegacyFileIsCopiedNormalisedWithSortedKeys) {
    root.write(paths::legacyConfigPath(), settingsJson("  https://legacy.example/// ", "", "30"));
    const auto s = ViewerSettings::load();
    EXPECT_EQ(s.heartbeatIntervalSeconds, 300);
    const auto written = root.read(paths::configPath());
    EXPECT_EQ(written, "{\n"
                       "  \"auditIntervalMinutes\": 360,\n"
                       "  \"chatPollIntervalSeconds\": 2,\n"
                       "  \"commandPollIntervalSeconds\": 60,\n"
                       "  \"controlReconnectMaxSeconds\": 30,\n"
                       "  \"heartbeatIntervalSeconds\": 300,\n"
                       "  \"notificationsEnabled\": true,\n"
                       "  \"serverBaseUrl\": \"https://legacy.example\",\n"
                       "  \"viewerToken\": \"ABC\"\n"
                       "}\n");
    // A file loaded from the main path is not rewritten.
    root.write(paths::configPath(), settingsJson("https://main.example/"));
    const auto before = root.read(paths::configPath());
    ViewerSettings::load();
    EXPECT_EQ(root.read(paths::configPath()), before);
}

TEST_F(ViewerSettingsTest, LegacyHostIsMigratedInAnyCase) {
    std::string host = ViewerSettings::legacyServerHost();
    for (auto& c : host)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    root.write(paths::configPath(), settingsJson("https://" + host + "/"));
    const auto s = ViewerSettings::load();
    EXPECT_EQ(s.serverBaseUrl, ViewerSettings::defaultServerBaseUrl());
    EXPECT_EQ(ViewerSettings::decode(root.read(paths::configPath()), "f").serverBaseUrl,
              ViewerSettings::defaultServerBaseUrl());

    // A host that merely contains the legacy name is left alone.
    root.write(paths::configPath(), settingsJson("https://x" + ViewerSettings::legacyServerHost()));
    EXPECT_EQ(ViewerSettings::load().serverBaseUrl, "https://x" + ViewerSettings::legacyServerHost());
}

} // namespace
} // namespace kova
