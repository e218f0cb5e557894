// The settings file: decode, validate, write back, decode again. Validation
// is idempotent and what it keeps survives the round trip.
#include "FuzzSupport.hpp"

#include "config/ViewerSettings.hpp"
#include "core/Errors.hpp"

using namespace kova;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ViewerSettings settings;
    try {
        settings = ViewerSettings::decode(fuzz::text(data, size), "fuzz settings");
    } catch (const DecodingError&) {
        return 0;
    }
    const auto written = prettyJson(settings.toJson());
    const auto reread = ViewerSettings::decode(written, "fuzz settings");
    KOVA_FUZZ_REQUIRE(reread == settings);
    KOVA_FUZZ_REQUIRE(prettyJson(reread.toJson()) == written);

    try {
        settings.validate();
    } catch (const ViewerError&) {
        return 0;
    }
    auto again = settings;
    again.validate();
    KOVA_FUZZ_REQUIRE(again == settings);
    KOVA_FUZZ_REQUIRE(settings.auditIntervalMinutes >= 5 && settings.heartbeatIntervalSeconds >= 60);
    KOVA_FUZZ_REQUIRE(settings.chatPollIntervalSeconds >= 1 && settings.chatPollIntervalSeconds <= 5);
    KOVA_FUZZ_REQUIRE(ViewerSettings::decode(prettyJson(settings.toJson()), "fuzz settings") == settings);
    return 0;
}
