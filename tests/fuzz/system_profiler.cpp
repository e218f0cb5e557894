// `system_profiler -json` output as the peripherals are read from it.
#include "FuzzSupport.hpp"

#include "audit/Peripherals.hpp"
#include "audit/SystemProbes.hpp"

using namespace kova;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto profiler = audit::parseSystemProfilerJson(fuzz::text(data, size));
    KOVA_FUZZ_REQUIRE(profiler.is_object());
    const auto peripherals = audit::collectPeripherals(profiler);
    KOVA_FUZZ_REQUIRE(peripherals.is_array());
    for (const auto& item : peripherals) {
        KOVA_FUZZ_REQUIRE(item.is_object());
    }
    // The report is serialised as it is sent.
    const auto sent = compactJson(sanitizeJson(peripherals));
    KOVA_FUZZ_REQUIRE(parseJson(sent, "peripherals").is_array());
    return 0;
}
