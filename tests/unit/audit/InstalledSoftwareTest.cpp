#include "audit/InstalledSoftware.hpp"
#include "audit/PropertyList.hpp"
#include "support/FakeProcessRunner.hpp"
#include "support/TempRoot.hpp"
#include "unit/audit/AuditTestSupport.hpp"

#include <gtest/gtest.h>

namespace kova::audit {
namespace {

using test::macosFixture;

std::string xmlInfoPlist(const std::vector<std::pair<std::string, std::string>>& strings) {
    std::string xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
)";
    for (const auto& [key, value] : strings) {
        xml += "\t<key>" + key + "</key>\n\t<string>" + value + "</string>\n";
    }
    return xml + "\t<key>LSUIElement</key>\n\t<true/>\n</dict>\n</plist>\n";
}

TEST(PropertyList, BinaryAndXmlForms) {
    const auto binary = parsePropertyList(macosFixture("bundles/Info.binary.plist"));
    ASSERT_TRUE(binary && binary->is_object());
    EXPECT_EQ((*binary)["CFBundleName"], "Zażółć Editor"); // UTF-16 strings in the binary form
    EXPECT_EQ((*binary)["SomeInteger"], 42);
    EXPECT_EQ((*binary)["SomeNegative"], -3);
    EXPECT_EQ((*binary)["SomeReal"], 1.5);
    EXPECT_EQ((*binary)["NSHighResolutionCapable"], true);
    EXPECT_EQ((*binary)["CFBundleDocumentTypes"][0]["LSHandlerRank"], "Owner");

    const auto xml = parsePropertyList(xmlInfoPlist({{"CFBundleName", "Tool &amp; Co"}}));
    ASSERT_TRUE(xml);
    EXPECT_EQ((*xml)["CFBundleName"], "Tool & Co");
    EXPECT_EQ((*xml)["LSUIElement"], true);

    EXPECT_EQ(parsePropertyList(""), std::nullopt);
    EXPECT_EQ(parsePropertyList("bplist00\x01\x02"), std::nullopt);
    EXPECT_EQ(parsePropertyList("<plist><dict><key>a</key>"), std::nullopt);

    // A UTF-16 string or key holding U+0000 would make the library abort the process.
    using namespace std::string_view_literals;
    EXPECT_EQ(
        parsePropertyList("\x62\x70\x6c\x69\x73\x74\x30\x30\xa1\x01\x63\x00\xe9\x00\x00\x00\x62\x08\x0a\x00"
                          "\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00\x00\x00\x00\x02\x00\x00\x00\x00\x00"
                          "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x11"sv),
        std::nullopt);
    EXPECT_EQ(
        parsePropertyList("\x62\x70\x6c\x69\x73\x74\x30\x30\xd1\x01\x02\x63\x00\xe9\x00\x00\x00\x62\x10\x01"
                          "\x08\x0b\x12\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00\x00\x00\x00\x03\x00"
                          "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x14"sv),
        std::nullopt);
}

class SoftwareScan : public ::testing::Test {
protected:
    void bundle(const std::string& path, const std::optional<std::string>& info) {
        const auto dir = root_ / path;
        std::filesystem::create_directories(dir / "Contents/MacOS");
        if (info) {
            root_.write(dir / "Contents/Info.plist", *info);
        }
    }

    test::TempRoot root_;
    test::FakeProcessRunner runner_;
};

TEST_F(SoftwareScan, BuildsTheListFromBundlesAndTools) {
    bundle("/Applications/Zazolc Editor.app", macosFixture("bundles/Info.binary.plist"));
    const auto studio5 = xmlInfoPlist({{"CFBundleName", "Example Studio"},
                                       {"CFBundleShortVersionString", "5.0"},
                                       {"CFBundleIdentifier", "pl.example.studio"}});
    bundle("/Applications/Example Studio.app", studio5);
    bundle("/Applications/Tools/Example Studio.app", studio5); // same name and version
    bundle("/Applications/Tools/Example Studio 4.app",
           xmlInfoPlist({{"CFBundleDisplayName", "Example Studio"},
                         {"CFBundleName", "Studio"},
                         {"CFBundleVersion", "4.0"}}));
    bundle("/Applications/NoPlist.app", std::nullopt);
    bundle("/Applications/.Hidden.app", xmlInfoPlist({{"CFBundleName", "Hidden"}}));
    bundle("/Applications/Outer.app/Contents/Applications/Inner.app",
           xmlInfoPlist({{"CFBundleName", "Inner"}}));
    root_.write(root_ / "/Applications/Outer.app/Contents/Info.plist",
                xmlInfoPlist({{"CFBundleName", "Outer"}}));
    bundle("/Applications/Spotlight Only.app",
           xmlInfoPlist({{"CFBundleName", "Spotlight Only"}, {"CFBundleIdentifier", "com.acme-tools.spot"}}));
    bundle("/Applications/IdOnly.app", xmlInfoPlist({{"CFBundleIdentifier", "io.foo-bar.baz"}}));
    bundle("/Applications/Safari.app",
           xmlInfoPlist({{"CFBundleName", "Safari"}, {"CFBundleIdentifier", "com.apple.Safari"}}));
    bundle("/Applications/Copyrighted.app",
           xmlInfoPlist(
               {{"CFBundleName", "Copyrighted"}, {"CFBundleGetInfoString", "1.0, (c) 2024 Acme Ltd."}}));
    bundle("/System/Applications/Calculator.app", xmlInfoPlist({{"CFBundleName", "Calculator"}}));
    bundle("/System/Applications/Utilities/Terminal.app", xmlInfoPlist({{"CFBundleName", "Terminal"}}));

    runner_.addHandler("/usr/bin/mdls", [](const ProcessSpec& spec) {
        ProcessResult r;
        r.launched = true;
        r.exitStatus = 0;
        r.standardOutput = spec.arguments.back().ends_with("Spotlight Only.app")
                               ? macosFixture("mdls/authors-and-copyright")
                               : macosFixture("mdls/no-metadata");
        return r;
    });
    runner_.addHandler("/usr/bin/codesign", [](const ProcessSpec& spec) {
        ProcessResult r;
        r.launched = true;
        const bool studio = spec.arguments.back().ends_with("Example Studio.app");
        r.exitStatus = studio ? 0 : 1;
        r.standardError = macosFixture(studio ? "codesign/developer-id" : "codesign/unsigned");
        return r;
    });

    const auto software = installedSoftware(runner_, 4);
    std::map<std::string, Json> byKey;
    std::vector<std::string> names;
    for (const auto& entry : software) {
        names.push_back(entry["name"]);
        byKey[entry["name"].get<std::string>() + "|" +
              (entry["version"].is_null() ? "" : entry["version"].get<std::string>())] = entry;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Calculator", "Copyrighted", "Example Studio",
                                               "Example Studio", "IdOnly", "NoPlist", "Outer", "Safari",
                                               "Spotlight Only", "Terminal", "Zażółć Editor"}));
    EXPECT_EQ(byKey["Example Studio|5.0"]["publisher"], "Example Software sp. z o.o");
    EXPECT_EQ(byKey["Example Studio|4.0"]["publisher"], nullptr);
    EXPECT_EQ(byKey["Zażółć Editor|2.4.1"]["publisher"],
              "2019–2024 Zażółć Software sp. z o.o. Wszelkie prawa zastrzeżone");
    EXPECT_EQ(byKey["Copyrighted|"]["publisher"], "1.0, Acme Ltd");
    EXPECT_EQ(byKey["Spotlight Only|"]["publisher"], "Jan Kowalski");
    EXPECT_EQ(byKey["IdOnly|"]["publisher"], "Foo Bar");
    EXPECT_EQ(byKey["NoPlist|"]["publisher"], nullptr);
    EXPECT_EQ(byKey["Safari|"]["publisher"], "Apple Inc.");
    EXPECT_EQ(byKey["Calculator|"]["publisher"], "Apple Inc.");
    EXPECT_EQ(byKey["Terminal|"]["publisher"], "Apple Inc.");

    // Only bundles without a publisher of their own reach the tools, duplicates never do.
    std::size_t studioRuns = 0;
    for (const auto& call : runner_.calls()) {
        const auto& path = call.arguments.back();
        EXPECT_FALSE(path.ends_with("Safari.app") || path.ends_with("Calculator.app") ||
                     path.ends_with("Copyrighted.app") || path.ends_with("Zazolc Editor.app"))
            << path;
        studioRuns += call.executable == "/usr/bin/codesign" && path.ends_with("/Example Studio.app") ? 1 : 0;
    }
    EXPECT_EQ(studioRuns, 1u);

    const auto today = localDateText(std::chrono::system_clock::now());
    for (const auto& entry : software) {
        // File systems without birth times give no date rather than a wrong one.
        if (!entry["installed_at"].is_null()) {
            EXPECT_EQ(entry["installed_at"], today) << entry["name"];
        }
    }
}

TEST_F(SoftwareScan, MissingRootsAndNoToolsGiveFallbacks) {
    EXPECT_EQ(installedSoftware(runner_, 4), Json::array());
    bundle("/Applications/Plain.app",
           xmlInfoPlist({{"CFBundleName", "Plain"}, {"CFBundleShortVersionString", "1"}}));
    const auto software = installedSoftware(runner_, 4);
    ASSERT_EQ(software.size(), 1u);
    EXPECT_EQ(software[0]["publisher"], nullptr);
    EXPECT_EQ(software[0]["version"], "1");
}

} // namespace
} // namespace kova::audit
