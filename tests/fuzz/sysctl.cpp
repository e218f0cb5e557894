// `sysctl -n kern.boottime` output and the OS version text.
#include "FuzzSupport.hpp"

#include "audit/SystemProbes.hpp"

#include <chrono>

using namespace kova;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto output = fuzz::text(data, size);
    if (const auto boot = audit::parseBootTime(output)) {
        // Every boot time taken is one the report can write as a date.
        KOVA_FUZZ_REQUIRE(audit::iso8601FromEpochSeconds(*boot).has_value());
        KOVA_FUZZ_REQUIRE(*audit::uptimeSeconds(boot, std::chrono::system_clock::now()) >= 0);
    }
    if (const auto build = audit::osBuild(output)) {
        KOVA_FUZZ_REQUIRE(!build->empty() && build->find(' ') == std::string::npos);
    }
    return 0;
}
