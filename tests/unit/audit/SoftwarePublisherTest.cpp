#include "audit/SoftwarePublisher.hpp"
#include "core/Unicode.hpp"
#include "unit/audit/AuditTestSupport.hpp"

#include <gtest/gtest.h>

namespace kova::audit {
namespace {

using test::macosFixture;

TEST(CompanyNameFromCopyright, Table) {
    const std::pair<const char*, OptionalText> cases[] = {
        {"Copyright \xC2\xA9 2024 Example Corp. All rights reserved.", "Example Corp"},
        {"\xC2\xA9 2015-2024 Example Corp.", "2015-2024 Example Corp"}, // a range is not a year
        {"(c) 2020, Przykład sp. z o.o.", "Przykład sp. z o.o"},        // "2020," is a year once trimmed
        {"COPYRIGHT (C) 1999 Foo\xE2\x84\xA2 Bar\xC2\xAE", "Foo Bar"},
        {"Copyright (2023) [Acme]", "Acme"},
        {"Copyright 2024", std::nullopt},
        {"   ", std::nullopt},
        {"All Rights Reserved. unknown", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(companyNameFromCopyright(std::string(text)), expected) << text;
    }
    EXPECT_EQ(companyNameFromCopyright(std::nullopt), std::nullopt);
}

TEST(NormalizedCompanyName, CleansRejectsAndCuts) {
    EXPECT_EQ(normalizedCompanyName(std::string("  \"Acme\tLabs\n\", ")), "Acme Labs");
    EXPECT_EQ(normalizedCompanyName(std::string("Acme\r\n")), "Acme");
    // One pass of pair replacement: four spaces become two.
    EXPECT_EQ(normalizedCompanyName(std::string("A    B")), "A  B");
    for (const char* placeholder : {"(null)", "null", "<null>", "Unknown", "UNKNOWN.", "---", "  "}) {
        EXPECT_EQ(normalizedCompanyName(std::string(placeholder)), std::nullopt) << placeholder;
    }
    std::string longName;
    for (int i = 0; i < 300; ++i) {
        longName += "ż";
    }
    const auto cut = normalizedCompanyName(longName);
    ASSERT_TRUE(cut);
    EXPECT_EQ(graphemeCount(*cut), 255u);
    EXPECT_TRUE(isValidUtf8(*cut));
}

TEST(SpotlightPublisher, CapturedLayouts) {
    // Values are NUL-separated: the author list comes first, the first author wins.
    EXPECT_EQ(parseSpotlightPublisher(macosFixture("mdls/authors-and-copyright")), "Jan Kowalski");
    EXPECT_EQ(parseSpotlightPublisher(macosFixture("mdls/copyright-only")), "Example Labs Sp. z o.o");
    // Two missing attributes never become a publisher made of their placeholders.
    EXPECT_EQ(parseSpotlightPublisher(macosFixture("mdls/no-metadata")), std::nullopt);
    EXPECT_EQ(cleanSpotlightValue(std::string(R"(("Jane Doe", "John Roe"))")), "Jane Doe");
    EXPECT_EQ(cleanSpotlightValue(std::string(R"(Foo\nBar \"Labs\")")), "Foo Bar \"Labs");
    EXPECT_EQ(cleanSpotlightValue(std::string("(, ,)")), std::nullopt);
    EXPECT_EQ(cleanSpotlightValue(std::string(" null ")), std::nullopt);
}

TEST(CodeSignaturePublisher, CapturedLayouts) {
    EXPECT_EQ(
        parseCodeSignaturePublisher(macosFixture("codesign/developer-id"), std::string("pl.example.studio")),
        "Example Software sp. z o.o");
    // App Store apps carry only Apple's authorities: no publisher unless the bundle is Apple's.
    EXPECT_EQ(
        parseCodeSignaturePublisher(macosFixture("codesign/app-store"), std::string("io.notes-helper.mac")),
        std::nullopt);
    EXPECT_EQ(parseCodeSignaturePublisher(macosFixture("codesign/app-store"), std::string("com.apple.Notes")),
              "Apple Inc.");
    EXPECT_EQ(parseCodeSignaturePublisher(macosFixture("codesign/adhoc"), std::nullopt), std::nullopt);
    EXPECT_EQ(parseCodeSignaturePublisher(macosFixture("codesign/unsigned"), std::nullopt), std::nullopt);
}

TEST(SigningAuthority, PrefixesAndTeamIdentifiers) {
    const std::pair<const char*, OptionalText> cases[] = {
        {"Developer ID Application: Acme (Europe) Ltd (AB12CD34EF)", "Acme (Europe) Ltd"},
        {"3rd Party Mac Developer Application: Foo GmbH (ZZZZZZZZZZ)", "Foo GmbH"},
        {"Apple Distribution: Bar Inc. (1234567890)", "Bar Inc"},
        {"Mac Developer: Jan Nowak (QWERTYUIOP)", "Jan Nowak"},
        {"Developer ID Certification Authority", "Developer ID Certification Authority"},
        {"Developer ID Application: (AB12CD34EF)", std::nullopt},
    };
    for (const auto& [authority, expected] : cases) {
        EXPECT_EQ(companyNameFromSigningAuthority(std::string(authority)), expected) << authority;
    }
}

TEST(BundleIdentifierPublisher, VendorsAndLabels) {
    const std::pair<const char*, OptionalText> cases[] = {
        {"com.google.Chrome", "Google LLC"},
        {"US.ZOOM.xos", "Zoom Video Communications"},
        {"com.apple-dev.tool", "Apple Dev"},
        {"com.foo-bar-baz.app", "Foo Bar Baz"},
        {"pl.ab.app", std::nullopt}, // two-character organisation
        {"example.tool", "Example"},
        {"net.apple.thing", "Apple Inc."},
        {"single", std::nullopt},
        {"com..x", std::nullopt}, // empty labels are dropped, leaving a one-letter organisation
    };
    for (const auto& [identifier, expected] : cases) {
        EXPECT_EQ(publisherFromBundleIdentifier(std::string(identifier)), expected) << identifier;
    }
    EXPECT_EQ(publisherFromBundleIdentifier(std::nullopt), std::nullopt);
}

} // namespace
} // namespace kova::audit
