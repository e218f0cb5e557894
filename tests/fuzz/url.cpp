// Texts that end up in URLs: path and query parts built from ids the server
// or a user chose, and the server address of the settings.
#include "FuzzSupport.hpp"

#include "control/ControlChannel.hpp"
#include "core/Stop.hpp"
#include "net/UrlHelpers.hpp"

#include <boost/url/decode_view.hpp>

using namespace kova;

namespace {

std::string decoded(const std::string& encoded) {
    boost::urls::decode_view view(encoded);
    return std::string(view.begin(), view.end());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzz::text(data, size);
    const auto path = url::encodePath(input);
    const auto segment = url::encodePathSegment(input);
    const auto query = url::encodeQueryValue(input);
    KOVA_FUZZ_REQUIRE(decoded(path) == input && decoded(segment) == input && decoded(query) == input);
    KOVA_FUZZ_REQUIRE(segment.find_first_of("/?#") == std::string::npos);
    KOVA_FUZZ_REQUIRE(query.find_first_of("&=+#") == std::string::npos);
    KOVA_FUZZ_REQUIRE(path.find_first_of("?#") == std::string::npos);
    // Any encoded segment keeps a URL valid.
    KOVA_FUZZ_REQUIRE(url::isValidAbsoluteUrl("https://h.example.test/a/" + segment + "?q=" + query));
    url::isValidAbsoluteUrl(input);

    auto settings = ViewerSettings::defaults();
    settings.serverBaseUrl = std::string(input);
    const ControlChannel channel(settings, nullptr, nullptr, {}, [](const WebSocketRequest&, StopToken) {
        return std::unique_ptr<WebSocketConnection>();
    });
    if (const auto control = channel.controlUrl()) {
        KOVA_FUZZ_REQUIRE(url::isValidAbsoluteUrl(*control));
        KOVA_FUZZ_REQUIRE(control->starts_with("ws://") || control->starts_with("wss://"));
    }
    return 0;
}
