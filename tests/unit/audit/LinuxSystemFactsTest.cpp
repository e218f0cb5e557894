#ifdef __linux__

#include "platform/linux/LinuxSystemFacts.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

namespace kova::platform::linux_facts {
namespace {

TEST(LinuxFactsReaders, KeyValueFiles) {
    const auto values =
        parseKeyValueFile("# comment\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
                          "VERSION_ID='12'\nNAME=\"Say \\\"hi\\\"\"\nbroken line\n=x\n ID = debian \n");
    EXPECT_EQ(values.at("PRETTY_NAME"), "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(values.at("VERSION_ID"), "12");
    EXPECT_EQ(values.at("NAME"), "Say \"hi\"");
    EXPECT_EQ(values.at("ID"), "debian");
    EXPECT_EQ(values.size(), 4u);
}

TEST(LinuxFactsReaders, VersionsCpuAndNames) {
    EXPECT_EQ(parseVersionNumbers("22.04"), (OperatingSystemVersion{22, 4, 0}));
    EXPECT_EQ(parseVersionNumbers("6.1.0-18-amd64"), (OperatingSystemVersion{6, 1, 0}));
    EXPECT_EQ(parseVersionNumbers("rolling"), (OperatingSystemVersion{0, 0, 0}));
    EXPECT_EQ(parseVersionNumbers("99999999999999999999.1"), (OperatingSystemVersion{0, 0, 0}));
    EXPECT_EQ(cpuModelName("processor\t: 0\nmodel name\t: Intel(R) Xeon(R) CPU @ 2.20GHz\n"),
              "Intel(R) Xeon(R) CPU @ 2.20GHz");
    EXPECT_EQ(cpuModelName("processor : 0\nBogoMIPS : 48.00\nModel : Raspberry Pi 4 Model B Rev 1.4\n"),
              "Raspberry Pi 4 Model B Rev 1.4");
    EXPECT_EQ(cpuModelName("processor : 0\n"), std::nullopt);
    EXPECT_EQ(procSysRelativePath("kernel.ostype"), "kernel/ostype");
    EXPECT_EQ(procSysRelativePath("kernel..x"), std::nullopt);
    EXPECT_EQ(procSysRelativePath("../etc/shadow"), std::nullopt);
    EXPECT_EQ(procSysRelativePath("kernel/ostype"), std::nullopt);
    EXPECT_TRUE(isHiddenFileSystem("proc", "/proc"));
    EXPECT_TRUE(isHiddenFileSystem("ext4", "/run/media"));
    EXPECT_FALSE(isHiddenFileSystem("ext4", "/"));
    EXPECT_FALSE(isHiddenFileSystem("ext4", "/devices"));
}

// The facts of the machine the tests run on: only what every Linux host has.
TEST(LinuxFacts, ThisMachine) {
    const LinuxSystemFacts facts;
    EXPECT_FALSE(facts.processHostName().empty());
    EXPECT_FALSE(facts.processUserName().empty());
    EXPECT_GE(facts.processorCount(), facts.activeProcessorCount());
    EXPECT_GT(facts.physicalMemoryBytes(), 0u);
    EXPECT_GT(facts.systemUptimeSeconds(), 0.0);
    EXPECT_EQ(facts.loadAverages().size(), 3u);
    EXPECT_EQ(facts.sysctlString("kernel.ostype"), "Linux");
    EXPECT_EQ(facts.sysctlString("no.such.value"), std::nullopt);
    const auto volumes = facts.mountedVolumes();
    ASSERT_TRUE(volumes);
    for (const auto& volume : *volumes) {
        EXPECT_FALSE(isHiddenFileSystem(volume.formatDescription.value_or(""), volume.mountPath))
            << volume.mountPath;
    }
    const auto addresses = facts.interfaceAddresses();
    ASSERT_TRUE(addresses);
    EXPECT_TRUE(std::any_of(addresses->begin(), addresses->end(), [](const InterfaceAddress& a) {
        return a.family == AddressFamily::ipv4 && a.address == "127.0.0.1";
    }));
    const auto created = fileCreationTime("/proc/self");
    (void)created; // a pseudo file system may or may not record one; it must not fail
    EXPECT_EQ(fileCreationTime("/no/such/file"), std::nullopt);
}

} // namespace
} // namespace kova::platform::linux_facts

#endif
