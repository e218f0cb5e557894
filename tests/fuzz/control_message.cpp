// Control-channel messages from the server, one per input line, through the
// channel's own dispatch (wake-ups, remote-session requests, rejections).
#include "FuzzSupport.hpp"

#include "control/ControlChannel.hpp"
#include "core/Stop.hpp"
#include "support/FakeWebSocket.hpp"

namespace {

using namespace kova;

ViewerSettings settings() {
    auto s = ViewerSettings::defaults();
    s.serverBaseUrl = "https://helpdesk.example.test";
    return s;
}

// A socket that plays `messages`, then reports a lost connection.
std::shared_ptr<test::FakeWebSocket> playing(const std::vector<std::string>& messages) {
    auto socket = std::make_shared<test::FakeWebSocket>();
    for (const auto& message : messages) {
        socket->push(message);
    }
    socket->endWith(NetworkErrorCode::networkConnectionLost);
    return socket;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::useScratchRoot();
    const auto messages = fuzz::lines(fuzz::text(data, size));
    auto client =
        std::make_shared<KovaDeskApiClient>(settings(), std::make_shared<fuzz::FixedBodyTransport>("{}"),
                                            std::make_shared<fuzz::MemoryTokenStore>());
    // A requested remote session finds a signalling socket that closes at once.
    auto remote =
        std::make_unique<RemoteSessionAgent>(settings(), client, test::connectTo([] { return playing({}); }));
    auto control = playing(messages);
    ControlChannel channel(settings(), client, std::move(remote), {},
                           test::connectTo([&] { return control; }));

    const AgentIdentity identity{"uid", "S-1", "host", std::nullopt};
    int wakeUps = 0;
    try {
        channel.connect(
            identity, [&] { return std::optional(identity); }, [&](StopToken) { ++wakeUps; }, {});
    } catch (const ViewerError&) {
    } catch (const DecodingError&) {
    } catch (const NetworkError& error) {
        // Only the scripted end of the socket closes it.
        KOVA_FUZZ_REQUIRE(error.code() == NetworkErrorCode::networkConnectionLost);
    }
    KOVA_FUZZ_REQUIRE(wakeUps <= static_cast<int>(messages.size()));
    return 0;
}
