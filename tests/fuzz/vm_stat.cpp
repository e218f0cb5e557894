// `vm_stat` output.
#include "FuzzSupport.hpp"

#include "audit/SystemProbes.hpp"

using namespace kova;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto output = fuzz::text(data, size);
    if (const auto bytes = audit::parseVmStat(output)) {
        KOVA_FUZZ_REQUIRE(*bytes > 0);
    }
    if (const auto active = audit::firstMatchInteger(output, "Pages active:")) {
        KOVA_FUZZ_REQUIRE(*active >= 0);
    }
    return 0;
}
