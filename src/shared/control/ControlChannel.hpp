#pragma once

#include "api/AgentRecords.hpp"
#include "api/KovaDeskApiClient.hpp"
#include "chat/RemoteSessionAgent.hpp"
#include "config/ViewerSettings.hpp"
#include "core/Json.hpp"
#include "core/Sleeper.hpp"
#include "core/Stop.hpp"
#include "net/WebSocketConnection.hpp"

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kova {

// Keeps the authenticated control WebSocket open so the server can wake the
// daemon at once: greets with a hello, sends control heartbeats from a second
// thread, reacts to incoming messages and reconnects with a doubling back-off.
// runForever runs on the daemon's control-channel thread; nothing else calls
// into the object while it runs.
class ControlChannel {
public:
    using IdentityProvider = std::function<std::optional<AgentIdentity>()>;
    using CommandWakeHandler = std::function<void(StopToken)>;
    using ConnectionErrorHandler = std::function<void(const std::exception&)>;

    ControlChannel(ViewerSettings settings, std::shared_ptr<KovaDeskApiClient> apiClient,
                   std::unique_ptr<RemoteSessionAgent> remoteAgent,
                   ConnectionErrorHandler connectionErrorHandler, WebSocketConnector connector = {},
                   std::shared_ptr<Sleeper> sleeper = {});

    // The reconnect loop; returns when stop is requested. Never throws.
    void runForever(StopToken stop, const IdentityProvider& identityProvider,
                    const CommandWakeHandler& commandWakeHandler);
    // One connection from opening to failure: throws the error that ended it,
    // returns normally when stop was requested.
    void connect(const AgentIdentity& identity, const IdentityProvider& identityProvider,
                 const CommandWakeHandler& commandWakeHandler, StopToken stop);

    std::optional<std::string> controlUrl() const;
    static Json hello(const AgentIdentity& identity);
    static Json heartbeat(const AgentIdentity& identity);

private:
    void handleControlMessage(const Json& message, const CommandWakeHandler& commandWakeHandler,
                              StopToken stop);

    ViewerSettings settings_;
    std::shared_ptr<KovaDeskApiClient> apiClient_;
    std::unique_ptr<RemoteSessionAgent> remoteAgent_;
    ConnectionErrorHandler connectionErrorHandler_;
    WebSocketConnector connector_;
    std::shared_ptr<Sleeper> sleeper_;
};

} // namespace kova
