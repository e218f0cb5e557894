// Chat message files, which any local user can write: decode, write back the
// way the store does, decode again; both writes must agree.
#include "FuzzSupport.hpp"

#include "chat/RemoteChatStore.hpp"

using namespace kova;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzz::text(data, size);
    const auto safe = RemoteChatStore::safePublicId(input);
    KOVA_FUZZ_REQUIRE(safe.size() == input.size() && safe.find('/') == std::string::npos);

    RemoteChatMessage first;
    try {
        first = RemoteChatMessage::decode(input);
    } catch (const DecodingError&) {
        return 0;
    }
    const auto written = prettyJson(first.toJson());
    const auto second = RemoteChatMessage::decode(written);
    KOVA_FUZZ_REQUIRE(second == first);
    KOVA_FUZZ_REQUIRE(prettyJson(second.toJson()) == written);
    return 0;
}
