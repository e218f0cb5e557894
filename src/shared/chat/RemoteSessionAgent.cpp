#include "chat/RemoteSessionAgent.hpp"

#include "core/Errors.hpp"
#include "core/ViewerLogger.hpp"
#include "net/UrlHelpers.hpp"

namespace kova {
namespace {

const Json* objectAt(const Json& parent, const char* key) {
    const auto it = parent.find(key);
    return it != parent.end() && it->is_object() ? &*it : nullptr;
}

} // namespace

std::optional<RemoteSessionRequest> RemoteSessionRequest::fromControlMessage(const Json& message) {
    if (!message.is_object() || stringMember(message, "type") != "remote_session.requested") {
        return std::nullopt;
    }
    const Json* session = objectAt(message, "session");
    if (!session) {
        return std::nullopt;
    }
    RemoteSessionRequest request;
    if (auto id = stringMember(*session, "public_id")) {
        request.publicId = *id;
    } else if (auto camel = stringMember(*session, "publicId")) {
        request.publicId = *camel;
    } else {
        return std::nullopt;
    }
    const Json* urls = objectAt(*session, "control_urls");
    if (!urls) {
        urls = objectAt(*session, "controlUrls");
    }
    if (urls) {
        request.statusUrl = stringMember(*urls, "status");
        request.signalingUrl = stringMember(*urls, "signaling");
    }
    if (!request.signalingUrl) {
        request.signalingUrl = stringMember(*session, "relay_url");
    }
    if (const Json* metadata = objectAt(*session, "metadata")) {
        request.metadata = *metadata;
    }
    return request;
}

RemoteSessionAgent::RemoteSessionAgent(ViewerSettings settings, std::shared_ptr<KovaDeskApiClient> apiClient,
                                       WebSocketConnector connector)
    : settings_(std::move(settings)), apiClient_(std::move(apiClient)),
      connector_(connector ? std::move(connector) : defaultWebSocketConnector()) {}

Json RemoteSessionAgent::remoteMetadata() {
    return Json{
        {"platform", "macos"},
        {"remote_engine", "screen_capturekit-webrtc"},
        {"video_codec", "vP8"},
        {"signaling", "wss"},
        {"data_channel", "kova-control"},
        {"screen_recording_permission", "required"},
        {"accessibility_permission", "required"},
        {"input_monitoring_permission", "required"},
        {"pre_login", false},
    };
}

void RemoteSessionAgent::handle(const RemoteSessionRequest& request, StopToken stop) {
    try {
        apiClient_->updateRemoteStatus(request.publicId, "agent_ready", std::nullopt, remoteMetadata(), stop);
        if (!request.signalingUrl || !url::isValidAbsoluteUrl(*request.signalingUrl)) {
            throw ViewerError::invalidResponse("Remote session is missing signaling URL.");
        }
        connectSignaling(*request.signalingUrl, request.publicId, stop);
    } catch (const std::exception& error) {
        ViewerLogger::error(error, "Remote session failed");
        try {
            apiClient_->updateRemoteStatus(request.publicId, "failed", errorDescription(error),
                                           remoteMetadata(), stop);
        } catch (const std::exception&) {
            // Nothing more can be told to the server about this session.
        }
    }
}

void RemoteSessionAgent::connectSignaling(const std::string& url, const std::string& sessionPublicId,
                                          StopToken stop) {
    auto connection = connector_(apiClient_->authenticatedWebSocketRequest(url), stop);
    ViewerLogger::info("Remote signaling connected: " + url::forLog(url));
    try {
        apiClient_->updateRemoteStatus(sessionPublicId, "connecting", std::nullopt, remoteMetadata(), stop);
        while (!stop.stop_requested()) {
            Json message;
            try {
                message = receiveJson(*connection, stop);
            } catch (const NetworkError& error) {
                if (error.code() == NetworkErrorCode::cancelled && stop.stop_requested()) {
                    break;
                }
                throw;
            }
            const auto type = stringMember(message, "type").value_or("message");
            ViewerLogger::info("Remote signaling message type=" + type);
            if (type == "offer") {
                throw ViewerError::unsupported(
                    "macOS remote media engine needs GoogleWebRTC XCFramework plus ScreenCaptureKit capture. "
                    "Signaling works, media is not bundled yet.");
            }
        }
    } catch (...) {
        connection->close(WebSocketClient::goingAway);
        throw;
    }
    connection->close(WebSocketClient::goingAway);
}

} // namespace kova
