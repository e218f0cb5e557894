// Command payloads: the lenient number and flag readers over every member,
// and the JSON string literal the scripts embed.
#include "FuzzSupport.hpp"

#include "core/Payload.hpp"
#include "core/Unicode.hpp"

#include <limits>

using namespace kova;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzz::text(data, size);
    const auto literal = jsonLiteral(input);
    if (isValidUtf8(input)) {
        KOVA_FUZZ_REQUIRE(parseJson(literal, "literal") == Json(std::string(input)));
    } else {
        KOVA_FUZZ_REQUIRE(literal == "\"\"");
    }

    Json payload;
    try {
        payload = parseJson(input, "payload");
    } catch (const DecodingError&) {
        return 0;
    }
    if (!payload.is_object()) {
        KOVA_FUZZ_REQUIRE(payloadValue(payload, "x") == nullptr);
        return 0;
    }
    for (const auto& [key, value] : payload.items()) {
        const auto* found = payloadValue(payload, key);
        KOVA_FUZZ_REQUIRE(found != nullptr);
        const auto bounded = payloadInt(found, 7, -5, 100);
        KOVA_FUZZ_REQUIRE(bounded >= -5 && bounded <= 100);
        payloadInt(found, 0, std::numeric_limits<std::int64_t>::min(),
                   std::numeric_limits<std::int64_t>::max());
        payloadBool(found, true);
        payloadBool(std::optional<Json>(value), false);
    }
    return 0;
}
