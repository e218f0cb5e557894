// `pmset -g batt` output.
#include "FuzzSupport.hpp"

#include "audit/SystemProbes.hpp"

using namespace kova;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto output = fuzz::text(data, size);
    KOVA_FUZZ_REQUIRE(audit::parsePmsetBattery(output) == (output.find("InternalBattery") != output.npos));
    return 0;
}
