#include "audit/SystemProbes.hpp"
#include "support/TempRoot.hpp"
#include "unit/audit/AuditTestSupport.hpp"

#include <gtest/gtest.h>

namespace kova::audit {
namespace {

using test::macosFixture;
using Strings = std::vector<std::string>;

TEST(IoregPlatform, ReadsSerialAndUuidFromCapturedTrees) {
    struct Case {
        const char* fixture;
        std::optional<std::string> serial;
        std::optional<std::string> uuid;
    };
    const Case cases[] = {
        // Full tree with "|" prefixes and a binary "serial-number" beside the text one.
        {"ioreg/IOPlatformExpertDevice-macmini", "W87305UMYA8", "00000000-0000-1000-8000-001B633026B1"},
        {"ioreg/IOPlatformExpertDevice-macbook-pro", "C02ABC123XYZ", "5A4C3D2E-1F00-4B6A-9C8D-7E6F5A4B3C2D"},
        {"ioreg/IOPlatformExpertDevice-no-serial", std::nullopt, "564D1A2B-3C4D-5E6F-7A8B-9C0D1E2F3A4B"},
    };
    for (const auto& c : cases) {
        const auto ids = parseIoregPlatform(macosFixture(c.fixture));
        EXPECT_EQ(ids.serialNumber, c.serial) << c.fixture;
        EXPECT_EQ(ids.platformUuid, c.uuid) << c.fixture;
    }
}

TEST(IoregPlatform, ValueEdges) {
    EXPECT_EQ(ioregPlatformValue(R"("IOPlatformSerialNumber" = "  ")", "IOPlatformSerialNumber"), "");
    EXPECT_EQ(ioregPlatformValue(R"("IOPlatformSerialNumber" = "ABC)", "IOPlatformSerialNumber"),
              std::nullopt);
    EXPECT_EQ(ioregPlatformValue(R"("ioplatformserialnumber" = "ABC")", "IOPlatformSerialNumber"),
              std::nullopt);
    EXPECT_EQ(ioregPlatformValue("", "IOPlatformUUID"), std::nullopt);
}

TEST(DeviceUid, JoinsKnownPartsAndKeepsEmptyOnes) {
    EXPECT_EQ(buildDeviceUid("mac", std::string("SER"), std::string("UUID")), "mac-SER-UUID");
    EXPECT_EQ(buildDeviceUid("mac", std::nullopt, std::string("UUID")), "mac-UUID");
    EXPECT_EQ(buildDeviceUid("mac", std::string(""), std::string("UUID")), "mac--UUID");
    EXPECT_EQ(buildDeviceUid("mac", std::nullopt, std::nullopt), "mac");
    EXPECT_EQ(buildDeviceUid("", std::nullopt, std::nullopt), "");
}

TEST(OsBuild, LastPieceKeepsItsParenthesis) {
    EXPECT_EQ(osBuild("Version 14.5 (Build 23F79)"), "23F79)");
    EXPECT_EQ(osBuild("  single  "), "single");
    EXPECT_EQ(osBuild("   "), std::nullopt);
}

TEST(FirstMatchInteger, SkipsToDigitsAndRejectsOverflow) {
    EXPECT_EQ(firstMatchInteger("Pages active:   370337.", "Pages active:"), 370337);
    EXPECT_EQ(firstMatchInteger("(page size of 16384 bytes)", "page size of "), 16384);
    EXPECT_EQ(firstMatchInteger("x: 1\nx: 2", "x:"), 1);
    EXPECT_EQ(firstMatchInteger("Pages active: none", "Pages active:"), std::nullopt);
    EXPECT_EQ(firstMatchInteger("n = 99999999999999999999", "n = "), std::nullopt);
    EXPECT_EQ(firstMatchInteger("nothing here", "Pages"), std::nullopt);
}

TEST(VmStat, UsedMemoryFromCapturedLayouts) {
    EXPECT_EQ(parseVmStat(macosFixture("vm_stat/apple-silicon")), 14391820288);
    // No page-size line and no compressor line: 4096-byte pages, a missing count is 0.
    EXPECT_EQ(parseVmStat(macosFixture("vm_stat/no-page-size-no-compressor")), 1433600000);
    EXPECT_EQ(parseVmStat("Mach Virtual Memory Statistics: (page size of 4096 bytes)\nPages free: 5.\n"),
              std::nullopt);
    EXPECT_EQ(parseVmStat(""), std::nullopt);
    EXPECT_EQ(parseVmStat(macosFixture("vm_stat/overflowing")), std::nullopt);
    EXPECT_EQ(parseVmStat("Mach Virtual Memory Statistics: (page size of 0 bytes)\nPages active: 5.\n"),
              std::nullopt);
}

TEST(BootTime, SecondsFollowedByCommaAndAbsentSec) {
    const auto boot = parseBootTime(macosFixture("kern.boottime/sonoma"));
    ASSERT_EQ(boot, 1717400000);
    EXPECT_EQ(iso8601FromEpochSeconds(*boot), "2024-06-03T07:33:20Z");
    EXPECT_EQ(parseBootTime(macosFixture("kern.boottime/without-sec")), std::nullopt);
    EXPECT_EQ(parseBootTime("{ sec = , usec = 0 }"), std::nullopt);
    EXPECT_EQ(parseBootTime("{ sec = 99999999999999 }"), std::nullopt); // past year 9999
    EXPECT_EQ(parseBootTime(""), std::nullopt);

    const auto now = std::chrono::system_clock::time_point(std::chrono::seconds(1717400100) +
                                                           std::chrono::milliseconds(900));
    EXPECT_EQ(uptimeSeconds(1717400000, now), 100);
    EXPECT_EQ(uptimeSeconds(1717400200, now), 0); // a boot time in the future
    EXPECT_EQ(uptimeSeconds(std::nullopt, now), std::nullopt);
}

TEST(CpuLoad, PerProcessorAndClamped) {
    EXPECT_DOUBLE_EQ(*cpuLoadPercent({2.0, 1.0, 0.5}, 8), 25.0);
    EXPECT_DOUBLE_EQ(*cpuLoadPercent({0.5}, 0), 50.0);
    EXPECT_DOUBLE_EQ(*cpuLoadPercent({0.5}, 1), 50.0);
    EXPECT_DOUBLE_EQ(*cpuLoadPercent({12.0}, 4), 100.0);
    EXPECT_EQ(cpuLoadPercent({}, 4), std::nullopt);
    EXPECT_EQ(cpuLoadPercent({std::nan("")}, 4), std::nullopt);
}

TEST(Pmset, InternalBattery) {
    EXPECT_TRUE(parsePmsetBattery(macosFixture("pmset/macbook")));
    EXPECT_FALSE(parsePmsetBattery(macosFixture("pmset/mac-mini")));
}

TEST(Ifconfig, MacAddressesFromCapturedOutput) {
    // Duplicates across interfaces (bridge members, AWDL) collapse; trailing blanks are ignored.
    EXPECT_EQ(parseIfconfigMacAddresses(macosFixture("ifconfig/imac-27-intel-2019-macosx-10.14.6")),
              (Strings{"0A:CC:F2:56:77:6B", "3C:36:00:60:88:11", "86:33:72:94:77:AA", "AA:00:44:C1:DD:E0",
                       "AA:00:44:C1:DD:E1", "F8:CC:F2:56:77:6B", "FA:CC:F2:56:77:6B"}));
    // Addresses masked by whoever captured them are still addresses.
    const auto masked = parseIfconfigMacAddresses(macosFixture("ifconfig/macbook-m1-pro-2021-macosx-14.5"));
    EXPECT_EQ(masked.size(), 13u);
    EXPECT_EQ(masked.front(), "AA:AA:AA:AA:AA:AA");
    EXPECT_EQ(parseIfconfigMacAddresses(macosFixture("ifconfig/macosx-01")),
              (Strings{"0A:63:DF:B1:E6:CB", "0C:4D:E9:C9:6C:3C", "32:00:1E:77:00:00", "32:00:1E:77:00:01",
                       "88:63:DF:B1:E6:CB", "EA:C8:6E:C2:4F:22"}));
    EXPECT_EQ(parseIfconfigMacAddresses("en0: flags=1\n\tether 3c:22:fb:aa:bb:cc\nen1: flags=1\n\tether "
                                        "3C:22:FB:AA:BB:CC \n\tetherx 11:22\n\tether\n"),
              (Strings{"3C:22:FB:AA:BB:CC"}));
}

TEST(IpAddresses, OnlyRoutableIpv4SortedAndUnique) {
    using platform::AddressFamily;
    const std::vector<platform::InterfaceAddress> addresses = {
        {"lo0", AddressFamily::ipv4, "127.0.0.1"},         {"en0", AddressFamily::ipv4, "192.168.1.15"},
        {"en0", AddressFamily::ipv6, "fe80::1%en0"},       {"en5", AddressFamily::ipv4, "169.254.10.2"},
        {"en1", AddressFamily::ipv4, "10.0.0.7"},          {"bridge0", AddressFamily::ipv4, "192.168.1.15"},
        {"en0", AddressFamily::link, "3c:22:fb:01:02:03"},
    };
    EXPECT_EQ(reportedIpAddresses(addresses), (Strings{"10.0.0.7", "192.168.1.15"}));
    EXPECT_TRUE(reportedIpAddresses(
                    {{"lo0", AddressFamily::ipv4, "127.0.0.1"}, {"en0", AddressFamily::ipv4, "169.254.3.4"}})
                    .empty());
}

TEST(Disks, KnownPositiveCapacityOnlyWithFallbacks) {
    std::vector<platform::MountedVolume> volumes(4);
    volumes[0] = {"/", std::string("Macintosh HD"), 494384795648, 120000000000, std::string("APFS"), true};
    volumes[1] = {"/Volumes/USB/", std::nullopt, 31000000000, std::nullopt, std::nullopt, std::nullopt};
    volumes[2] = {"/Volumes/Empty", std::string("Empty"), 0, 0, std::string("APFS"), false};
    volumes[3] = {"/Volumes/Unknown", std::string("Unknown"), std::nullopt, 1, std::nullopt, false};
    const auto disks = diskObjects(volumes);
    ASSERT_EQ(disks.size(), 2u);
    EXPECT_EQ(disks[0], (Json{{"name", "Macintosh HD"},
                              {"mount", "/"},
                              {"type", "internal"},
                              {"total_bytes", 494384795648},
                              {"free_bytes", 120000000000},
                              {"filesystem", "APFS"},
                              {"health", "unknown"}}));
    EXPECT_EQ(disks[1]["name"], "USB");
    EXPECT_EQ(disks[1]["type"], "external");
    EXPECT_EQ(disks[1]["free_bytes"], 0);
    EXPECT_EQ(disks[1]["filesystem"], "");
}

TEST(SystemProfilerJson, ObjectOrEmpty) {
    EXPECT_EQ(parseSystemProfilerJson(R"({"SPUSBDataType": []})"), (Json{{"SPUSBDataType", Json::array()}}));
    EXPECT_EQ(parseSystemProfilerJson("[1, 2]"), Json::object());
    EXPECT_EQ(parseSystemProfilerJson("{ truncated"), Json::object());
    EXPECT_EQ(parseSystemProfilerJson(""), Json::object());
}

TEST(DirectoryListing, FirstEntriesSortedAndMissingDirectoryEmpty) {
    test::TempRoot root;
    const auto directory = root / "/Library/LaunchDaemons";
    std::filesystem::create_directories(directory);
    std::vector<std::string> inOrder;
    for (int i = 0; i < 250; ++i) {
        root.write(directory / ("job." + std::to_string(1000 + i) + ".plist"), "x");
    }
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        inOrder.push_back(entry.path().filename().string());
    }
    inOrder.resize(200);
    std::sort(inOrder.begin(), inOrder.end());
    EXPECT_EQ(directoryListing(directory, 200), inOrder);
    EXPECT_TRUE(directoryListing(root / "/Library/Missing", 200).empty());
}

} // namespace
} // namespace kova::audit
