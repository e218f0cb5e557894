#include "scan/IpScanner.hpp"
#include "support/FakeProcessRunner.hpp"

#include <gtest/gtest.h>

namespace kova {
namespace {

using platform::Ipv4InterfaceAddress;

constexpr std::uint32_t ip(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return a << 24 | b << 16 | c << 8 | d;
}

TEST(IpScanner, NetworksComeFromTheInterfaceAddresses) {
    const std::vector<Ipv4InterfaceAddress> addresses = {
        {"lo0", ip(127, 0, 0, 1), ip(255, 0, 0, 0), true},
        {"lo", ip(127, 0, 0, 1), ip(255, 0, 0, 0), true},
        {"en0", ip(192, 168, 1, 77), ip(255, 255, 0, 0), false},
        {"en1", ip(198, 51, 100, 9), ip(255, 255, 255, 252), false},
        {"en1", ip(203, 0, 113, 4), ip(255, 255, 255, 254), false},
        {"utun0", ip(203, 0, 113, 9), ip(255, 255, 255, 255), false},
        {"en2", 0, ip(255, 255, 255, 0), false},
        {"en3", ip(203, 0, 113, 1), 0, false},
    };
    const auto networks = IpScanner::enumerateNetworks(addresses, 24);
    ASSERT_EQ(networks.size(), 2u);
    EXPECT_EQ(networks[0].interfaceName, "en0");
    EXPECT_EQ(networks[0].networkAddress, ip(192, 168, 1, 0));
    EXPECT_EQ(networks[0].prefixLength, 24);
    ASSERT_EQ(networks[0].hosts.size(), 254u);
    EXPECT_EQ(networks[0].hosts.front(), ip(192, 168, 1, 1));
    EXPECT_EQ(networks[0].hosts.back(), ip(192, 168, 1, 254));
    EXPECT_EQ(networks[1].hosts, (std::vector<std::uint32_t>{ip(198, 51, 100, 9), ip(198, 51, 100, 10)}));
    EXPECT_EQ(networks[1].prefixLength, 30);

    EXPECT_EQ(IpScanner::enumerateNetworks(addresses, 28)[0].hosts.size(), 14u);
    EXPECT_TRUE(IpScanner::enumerateNetworks(std::nullopt, 24).empty());
    EXPECT_EQ(IpScanner::ipv4String(ip(10, 0, 255, 1)), "10.0.255.1");
}

TEST(IpScanner, ToolOutputReaders) {
    EXPECT_EQ(IpScanner::latencyFromPing("64 bytes from 198.51.100.2: icmp_seq=0 ttl=64 time=0.553 ms"),
              0.553);
    EXPECT_EQ(IpScanner::latencyFromPing("time=12 ms"), 12.0);
    EXPECT_EQ(IpScanner::latencyFromPing("1 packets transmitted, 1 received"), std::nullopt);
    EXPECT_EQ(IpScanner::latencyFromPing("time=ms"), std::nullopt);
    EXPECT_EQ(IpScanner::latencyFromPing("time=1.2.3 ms"), std::nullopt);

    EXPECT_EQ(IpScanner::macFromArp("? (198.51.100.2) at 3c:22:fb:1:2:3 on en0 ifscope [ethernet]"),
              "3c:22:fb:1:2:3");
    EXPECT_EQ(IpScanner::macFromArp("? (198.51.100.3) at (incomplete) on en0 ifscope [ethernet]"),
              "(incomplete)");
    EXPECT_EQ(IpScanner::macFromArp("198.51.100.3 (198.51.100.3) -- no entry"), std::nullopt);

    EXPECT_EQ(IpScanner::nameFromNameService("name: printer.local\nip_address: 198.51.100.7"),
              "printer.local");
    EXPECT_EQ(IpScanner::nameFromNameService("ip_address: 198.51.100.7\nname: a\nname: b"), "a");
    EXPECT_EQ(IpScanner::nameFromNameService("hostname: x"), std::nullopt);
}

TEST(IpScanner, SweepReportsTheAnsweringHostsInTextOrder) {
    test::FakeProcessRunner runner;
    const auto reply = "64 bytes from x: icmp_seq=0 ttl=64 time=0.8 ms\n";
    for (const char* host : {"198.51.100.2", "198.51.100.10"}) {
        runner.add("/sbin/ping", {"-c", "1", "-W", "100", host}, reply);
        runner.add("/usr/bin/dscacheutil", {"-q", "host", "-a", "ip_address", host},
                   std::string("name: host-") + host + "\nip_address: " + host + "\n");
    }
    runner.add("/sbin/ping", {"-c", "1", "-W", "100", "198.51.100.3"}, "no reply", 2);
    runner.add("/usr/sbin/arp", {"-n", "198.51.100.10"},
               "? (198.51.100.10) at 2:0:0:0:0:a on en1 ifscope [ethernet]");
    const IpScanner::InterfaceSource interfaces = [] {
        return std::vector<Ipv4InterfaceAddress>{{"lo", ip(127, 0, 0, 1), ip(255, 0, 0, 0), true},
                                                 {"en1", ip(198, 51, 100, 1), ip(255, 255, 255, 0), false}};
    };

    auto result = IpScanner::scan(Json{{"timeout_ms", 50}, {"max_prefix_length", "30"}}, runner, interfaces);
    EXPECT_EQ(result["scanner"], "kova-viewer-macos");
    EXPECT_EQ(result["network_count"], 1);
    EXPECT_EQ(result["host_count"], 2);
    const auto& network = result["networks"][0];
    EXPECT_EQ(network["interface"], "en1");
    EXPECT_EQ(network["local_ip"], "198.51.100.1");
    EXPECT_EQ(network["network"], "198.51.100.0/24") << "a string is no integer: the default limit holds";
    EXPECT_EQ(network["cidr"], network["network"]);
    EXPECT_EQ(network["scanned_hosts"], 254);
    EXPECT_EQ(network["hosts"], (Json::array({{{"ip", "198.51.100.10"},
                                               {"status", "up"},
                                               {"latency_ms", 0.8},
                                               {"mac", "2:0:0:0:0:a"},
                                               {"hostname", "host-198.51.100.10"}},
                                              {{"ip", "198.51.100.2"},
                                               {"status", "up"},
                                               {"latency_ms", 0.8},
                                               {"hostname", "host-198.51.100.2"}}})));
    EXPECT_EQ(runner.callCount("/sbin/ping"), 254u) << "every host is probed once, 50 ms raised to 100";
    EXPECT_TRUE(result["started_at"].is_string() && result["completed_at"].is_string());
    EXPECT_TRUE(result["duration_ms"].is_number_integer());

    // No name lookups when resolution is off; 5000 ms is lowered to 2000.
    test::FakeProcessRunner quiet;
    quiet.add("/sbin/ping", {"-c", "1", "-W", "2000", "198.51.100.2"}, reply);
    result = IpScanner::scan(Json{{"timeout_ms", 5000}, {"resolve_hostnames", false}}, quiet, interfaces);
    EXPECT_EQ(result["host_count"], 1);
    EXPECT_EQ(quiet.callCount("/usr/bin/dscacheutil"), 0u);

    // Only loopback: an empty result.
    result = IpScanner::scan(Json::object(), quiet, [] {
        return std::vector<Ipv4InterfaceAddress>{{"lo0", ip(127, 0, 0, 1), ip(255, 0, 0, 0), true}};
    });
    EXPECT_EQ(result["network_count"], 0);
    EXPECT_EQ(result["host_count"], 0);
    EXPECT_EQ(result["networks"], Json::array());
}

} // namespace
} // namespace kova
