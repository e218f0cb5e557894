// One "ip_scan" sweep with the real process runner, for bench/ip_scan.py,
// which runs it inside a private network namespace. It refuses to sweep
// anything but loopback and the documentation ranges, so it can never send
// probes into a real network. usage: ip_scan_sweep [PAYLOAD_JSON]
#include "core/Json.hpp"
#include "platform/NetworkInterfaces.hpp"
#include "process/ProcessRunner.hpp"
#include "scan/IpScanner.hpp"

#include <iostream>

namespace {

bool isDocumentationAddress(std::uint32_t address) {
    return (address & 0xFFFFFF00u) == 0xC6336400u     // 198.51.100.0/24
           || (address & 0xFFFFFF00u) == 0xCB007100u; // 203.0.113.0/24
}

} // namespace

int main(int argc, char** argv) {
    const auto addresses = kova::platform::ipv4InterfaceAddresses();
    if (!addresses) {
        std::cerr << "ip_scan_sweep: cannot list the interfaces\n";
        return 2;
    }
    for (const auto& entry : *addresses) {
        if (!entry.loopback && !isDocumentationAddress(entry.address)) {
            std::cerr << "ip_scan_sweep: refusing to sweep " << entry.interfaceName << " "
                      << kova::IpScanner::ipv4String(entry.address) << "\n";
            return 2;
        }
    }
    const auto payload = argc > 1 ? kova::Json::parse(argv[1]) : kova::Json::object();
    std::cout
        << kova::IpScanner::scan(payload, *kova::systemProcessRunner(), [&] { return addresses; }).dump()
        << "\n";
    return 0;
}
