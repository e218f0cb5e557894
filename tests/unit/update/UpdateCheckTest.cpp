#include "update/UpdateCheck.hpp"

#include "audit/PropertyList.hpp"
#include "core/Errors.hpp"

#include <gtest/gtest.h>

namespace kova {
namespace {

using namespace UpdateCheck;

TEST(UpdateCheck, VersionComparison) {
    struct Row {
        const char* a;
        const char* b;
        bool newer;
    };
    const Row rows[] = {
        {"0.2.56", "0.2.55", true},
        {"0.2.55", "0.2.55", false},
        {"0.2.54", "0.2.55", false},
        {"1.10", "1.9", true},
        {"1.2", "1.2.0", false},
        {"1.2.0", "1.2", false},
        {"1.2.1", "1.2", true},
        {"1..3", "1.2", true},
        {"0-beta.3", "0.2", true},
        {"1.x", "1.0", false},
        {"+2", "1", true},
        {"-1", "0", false},
        {"", "0", false},
        {"99999999999999999999", "1", false},
        {"0.3.1'", "0.2.55", true},
        {"0.4.5/", "0.2.55", true},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(isVersionNewerThan(row.a, row.b), row.newer) << row.a << " vs " << row.b;
    }
}

TEST(UpdateCheck, PackageUrlMustBeHttpsOnTheServersHostAndPort) {
    const auto check = [](const std::string& url, const std::string& server) -> std::string {
        ViewerUpdateManifest manifest;
        manifest.url = url;
        try {
            EXPECT_EQ(validatedUpdatePackageUrl(manifest, server), url);
            return "ok";
        } catch (const ViewerError& e) {
            return e.message();
        }
    };
    struct Row {
        const char* url;
        const char* server;
        const char* outcome;
    };
    const Row rows[] = {
        {"https://desk.example.com/downloads/a.pkg", "https://desk.example.com", "ok"},
        {"https://DESK.Example.com/a.PKG?sig=1", " https://desk.example.com/// \n", "ok"},
        {"https://desk.example.com:8443/a.pkg", "https://desk.example.com", "ok"},
        {"https://desk.example.com:8443/a.pkg", "HTTPS://desk.example.com:8443", "ok"},
        {"http://desk.example.com/a.pkg", "https://desk.example.com",
         "Update manifest has invalid package URL."},
        {"not a url", "https://desk.example.com", "Update manifest has invalid package URL."},
        {"https:///a.pkg", "https://desk.example.com", "Update manifest has invalid package URL."},
        {"https://desk.example.com/a.pkg", "http://desk.example.com",
         "serverBaseUrl must be a valid HTTPS URL."},
        {"https://desk.example.com/a.pkg", "", "serverBaseUrl must be a valid HTTPS URL."},
        {"https://evil.example.com/a.pkg", "https://desk.example.com", "Update package host is not trusted."},
        {"https://desk.example.com.evil.net/a.pkg", "https://desk.example.com",
         "Update package host is not trusted."},
        {"https://desk.example.com/a.pkg", "https://desk.example.com:8443",
         "Update package port is not trusted."},
        {"https://desk.example.com:9443/a.pkg", "https://desk.example.com:8443",
         "Update package port is not trusted."},
        {"https://desk.example.com/a.dmg", "https://desk.example.com", "Update package must be a .pkg file."},
        {"https://desk.example.com/a.pkg.sh", "https://desk.example.com",
         "Update package must be a .pkg file."},
        {"https://desk.example.com/", "https://desk.example.com", "Update package must be a .pkg file."},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(check(row.url, row.server), row.outcome) << row.url << " on " << row.server;
    }
}

TEST(UpdateCheck, HashAndSizeLimits) {
    const std::string hex(64, 'a');
    EXPECT_EQ(validatedSha256(" " + std::string(32, 'A') + std::string(32, 'f') + "\n"),
              std::string(32, 'a') + std::string(32, 'f'));
    for (const std::optional<std::string>& bad :
         {std::optional<std::string>(), std::optional<std::string>(""), std::optional(hex.substr(1)),
          std::optional(hex + "a"), std::optional(hex.substr(1) + "g"),
          std::optional(hex.substr(2) + " a")}) {
        EXPECT_THROW(
            try { validatedSha256(bad); } catch (const ViewerError& e) {
                EXPECT_EQ(e.message(), "Update manifest must include a valid SHA-256 hash.");
                throw;
            },
            ViewerError)
            << bad.value_or("(absent)");
    }
    EXPECT_EQ(validatedPackageSize(1), 1);
    EXPECT_EQ(validatedPackageSize(629145600), 629145600);
    for (const auto& bad : {std::optional<std::int64_t>(), std::optional<std::int64_t>(0),
                            std::optional<std::int64_t>(-5), std::optional<std::int64_t>(629145601)}) {
        EXPECT_THROW(validatedPackageSize(bad), ViewerError);
    }
}

TEST(UpdateCheck, FileNamesAndJobPropertyList) {
    EXPECT_EQ(safeVersion("1/2/3"), "1_2_3");
    EXPECT_EQ(packagePath("0.4.5/").filename(), "Sekwo-Tarnvik-macOS-0.4.5_.pkg");
    EXPECT_EQ(updaterJobPropertyListPath().filename(), "pl.tarnvik.sekwo.updater.plist");

    const auto xml = updaterJobPropertyList("/r/sekwo updater.sh", "/l/u&<.log");
    EXPECT_NE(xml.find("<?xml"), std::string::npos);
    const auto job = audit::parsePropertyList(xml);
    ASSERT_TRUE(job);
    EXPECT_EQ(*job, (Json{{"Label", "pl.tarnvik.sekwo.updater"},
                          {"ProgramArguments", {"/bin/bash", "/r/sekwo updater.sh"}},
                          {"RunAtLoad", true},
                          {"KeepAlive", false},
                          {"ProcessType", "Background"},
                          {"AbandonProcessGroup", true},
                          {"StandardOutPath", "/l/u&<.log"},
                          {"StandardErrorPath", "/l/u&<.log"}}));
}

} // namespace
} // namespace kova
