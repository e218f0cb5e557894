// Server answers as the API client decodes them: the registration answer,
// the pending-command list and the update manifest.
#include "FuzzSupport.hpp"

#include "api/KovaDeskApiClient.hpp"
#include "core/Errors.hpp"

namespace {

using namespace kova;

ViewerSettings settings() {
    auto s = ViewerSettings::defaults();
    s.serverBaseUrl = "https://helpdesk.example.test";
    s.viewerToken = "fuzz-viewer-token";
    return s;
}

template <typename F> void decodingMayFail(F&& f) {
    try {
        f();
    } catch (const DecodingError&) {
    } catch (const ViewerError&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::useScratchRoot();
    const std::string body(fuzz::text(data, size));
    KovaDeskApiClient client(settings(), std::make_shared<fuzz::FixedBodyTransport>(body),
                             std::make_shared<fuzz::MemoryTokenStore>());

    decodingMayFail([&] { client.sendInventory(Json::object()); });
    decodingMayFail([&] { client.updateManifest("macos", "arm64", "0.0.0", "stable"); });
    decodingMayFail([&] {
        const auto commands = client.pendingCommands("uid", std::nullopt);
        const auto json = parseJson(body, "fuzz input");
        KOVA_FUZZ_REQUIRE(commands.empty() || json.is_array());
        // Each command is one object of the list, its payload taken unchanged.
        KOVA_FUZZ_REQUIRE(commands.size() <= json.size());
        for (const auto& command : commands) {
            KOVA_FUZZ_REQUIRE(command.payload.is_object());
        }
        for (const auto& item : json) {
            const auto command = AgentCommand::from(item);
            if (command && item.contains("payload") && item["payload"].is_object()) {
                KOVA_FUZZ_REQUIRE(compactJson(command->payload) == compactJson(item["payload"]));
            }
        }
    });
    return 0;
}
