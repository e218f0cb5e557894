#pragma once

#include "api/KovaDeskApiClient.hpp"
#include "config/ViewerSettings.hpp"
#include "core/Json.hpp"
#include "core/Stop.hpp"
#include "net/WebSocketConnection.hpp"

#include <memory>
#include <optional>
#include <string>

namespace kova {

struct RemoteSessionRequest {
    std::string publicId;
    std::optional<std::string> statusUrl;
    std::optional<std::string> signalingUrl;
    Json metadata = Json::object();

    // nullopt unless the message is a well-formed "remote_session.requested".
    static std::optional<RemoteSessionRequest> fromControlMessage(const Json& message);
};

// Answers remote-session requests on the signalling side: reports the
// session's status, follows the signalling socket, and ends the session on
// the viewer's offer because this agent carries no media engine. Called from
// the control channel's thread, one request at a time.
class RemoteSessionAgent {
public:
    RemoteSessionAgent(ViewerSettings settings, std::shared_ptr<KovaDeskApiClient> apiClient,
                       WebSocketConnector connector = {});

    // Never throws: failures end in an ERROR line and a "failed" report.
    void handle(const RemoteSessionRequest& request, StopToken stop = {});
    void connectSignaling(const std::string& url, const std::string& sessionPublicId, StopToken stop);
    static Json remoteMetadata();

private:
    ViewerSettings settings_;
    std::shared_ptr<KovaDeskApiClient> apiClient_;
    WebSocketConnector connector_;
};

} // namespace kova
