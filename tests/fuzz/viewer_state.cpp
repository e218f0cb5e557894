// The daemon's state file: decode, write back, decode again; both writes
// must agree.
#include "FuzzSupport.hpp"

#include "config/ViewerState.hpp"

using namespace kova;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ViewerState state;
    try {
        state = ViewerState::decode(fuzz::text(data, size), "fuzz state");
    } catch (const DecodingError&) {
        return 0;
    }
    const auto written = prettyJson(state.toJson());
    const auto reread = ViewerState::decode(written, "fuzz state");
    KOVA_FUZZ_REQUIRE(reread == state);
    KOVA_FUZZ_REQUIRE(prettyJson(reread.toJson()) == written);
    return 0;
}
