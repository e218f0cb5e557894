// Signalling messages of a remote session, one per input line, after the
// session's request was accepted.
#include "FuzzSupport.hpp"

#include "chat/RemoteSessionAgent.hpp"
#include "support/FakeWebSocket.hpp"

namespace {

using namespace kova;

ViewerSettings settings() {
    auto s = ViewerSettings::defaults();
    s.serverBaseUrl = "https://helpdesk.example.test";
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::useScratchRoot();
    auto socket = std::make_shared<test::FakeWebSocket>();
    for (const auto& message : fuzz::lines(fuzz::text(data, size))) {
        socket->push(message);
    }
    socket->endWith(NetworkErrorCode::networkConnectionLost);
    auto transport = std::make_shared<fuzz::FixedBodyTransport>("{}");
    auto client = std::make_shared<KovaDeskApiClient>(settings(), transport,
                                                      std::make_shared<fuzz::MemoryTokenStore>());
    RemoteSessionAgent agent(settings(), client, test::connectTo([&] { return socket; }));

    RemoteSessionRequest request;
    request.publicId = "RS-1";
    request.signalingUrl = "wss://helpdesk.example.test/signal/RS-1";
    // Never throws; whatever the socket says ends in a status report.
    agent.handle(request);
    KOVA_FUZZ_REQUIRE(!transport->requests().empty());
    KOVA_FUZZ_REQUIRE(socket->closedWith().has_value());
    return 0;
}
