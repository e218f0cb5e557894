// `ioreg -rd1 -c IOPlatformExpertDevice` output.
#include "FuzzSupport.hpp"

#include "audit/SystemProbes.hpp"
#include "core/Strings.hpp"

using namespace kova;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto output = fuzz::text(data, size);
    const auto ids = audit::parseIoregPlatform(output);
    for (const auto* value : {&ids.serialNumber, &ids.platformUuid}) {
        if (*value) {
            KOVA_FUZZ_REQUIRE((*value)->find('"') == std::string::npos && trimmed(**value) == **value);
        }
    }
    const auto uid = audit::buildDeviceUid("host", ids.serialNumber, ids.platformUuid);
    KOVA_FUZZ_REQUIRE(uid.starts_with("host"));
    return 0;
}
