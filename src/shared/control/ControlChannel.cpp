#include "control/ControlChannel.hpp"

#include "config/MacViewerBuildInfo.hpp"
#include "core/Errors.hpp"
#include "core/Strings.hpp"
#include "core/ViewerLogger.hpp"
#include "net/UrlHelpers.hpp"

#include <algorithm>
#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

namespace kova {
namespace {

Json optionalString(const std::optional<std::string>& value) {
    return value ? Json(*value) : Json(nullptr);
}

struct CloseOnExit {
    WebSocketConnection& connection;
    ~CloseOnExit() { connection.close(WebSocketClient::goingAway); }
};

bool isCancellation(const NetworkError& error, const StopToken& stop) {
    return error.code() == NetworkErrorCode::cancelled && stop.stop_requested();
}

} // namespace

ControlChannel::ControlChannel(ViewerSettings settings, std::shared_ptr<KovaDeskApiClient> apiClient,
                               std::unique_ptr<RemoteSessionAgent> remoteAgent,
                               ConnectionErrorHandler connectionErrorHandler, WebSocketConnector connector,
                               std::shared_ptr<Sleeper> sleeper)
    : settings_(std::move(settings)), apiClient_(std::move(apiClient)), remoteAgent_(std::move(remoteAgent)),
      connectionErrorHandler_(std::move(connectionErrorHandler)),
      connector_(connector ? std::move(connector) : defaultWebSocketConnector()),
      sleeper_(sleeper ? std::move(sleeper) : std::make_shared<RealSleeper>()) {}

std::optional<std::string> ControlChannel::controlUrl() const {
    const auto base = trimmedTrailingSlash(trimmed(settings_.serverBaseUrl));
    auto parsed = boost::urls::parse_uri_reference(base);
    if (!parsed) {
        return std::nullopt;
    }
    boost::urls::url url(*parsed);
    url.set_scheme(url.has_scheme() && url.scheme() == "https" ? "wss" : "ws");
    url.set_encoded_path("/api/agent/control");
    url.remove_fragment();
    if (!url.has_authority() || url.host().empty()) {
        return std::nullopt;
    }
    return std::string(url.buffer());
}

Json ControlChannel::hello(const AgentIdentity& identity) {
    return Json{
        {"type", "hello"},
        {"device_uid", identity.deviceUid},
        {"support_id", optionalString(identity.supportId)},
        {"hostname", identity.hostname},
        {"agent_version", std::string(MacViewerBuildInfo::version)},
        {"status", "online"},
        {"capabilities",
         {{"remote", true},
          {"webrtc", true},
          {"clipboard", true},
          {"pre_login", false},
          {"platform", "macos"},
          {"screen_capture", "ScreenCaptureKit"},
          {"permissions_required", {"screen_recording", "accessibility", "input_monitoring"}}}},
    };
}

Json ControlChannel::heartbeat(const AgentIdentity& identity) {
    return Json{
        {"type", "heartbeat"},
        {"device_uid", identity.deviceUid},
        {"support_id", optionalString(identity.supportId)},
        {"hostname", identity.hostname},
        {"agent_version", std::string(MacViewerBuildInfo::version)},
        {"status", "online"},
        {"platform", "macos"},
        {"sentAt", formatIso8601(nowSeconds())},
    };
}

void ControlChannel::runForever(StopToken stop, const IdentityProvider& identityProvider,
                                const CommandWakeHandler& commandWakeHandler) {
    using namespace std::chrono;
    seconds delay{2};
    while (!stop.stop_requested()) {
        const auto identity = identityProvider();
        if (!identity) {
            ViewerLogger::warn("Control WSS waits for device identity.");
            sleeper_->sleep(stop, seconds(5));
            continue;
        }
        try {
            connect(*identity, identityProvider, commandWakeHandler, stop);
            delay = seconds(2);
        } catch (const std::exception& error) {
            if (stop.stop_requested()) {
                return;
            }
            ViewerLogger::error(error, "Control WSS disconnected");
            apiClient_->recoverInvalidDeviceToken(error);
            if (connectionErrorHandler_) {
                connectionErrorHandler_(error);
            }
            sleeper_->sleep(stop, delay);
            delay = std::min(delay * 2, seconds(settings_.controlReconnectMaxSeconds));
        }
    }
}

void ControlChannel::connect(const AgentIdentity& identity, const IdentityProvider& identityProvider,
                             const CommandWakeHandler& commandWakeHandler, StopToken stop) {
    const auto url = controlUrl();
    if (!url) {
        throw ViewerError::configuration("Invalid control WSS URL.");
    }
    const auto request = apiClient_->authenticatedWebSocketRequest(*url);
    ViewerLogger::info("Control WSS connecting: " + url::forLog(*url));
    std::unique_ptr<WebSocketConnection> connection;
    try {
        connection = connector_(request, stop);
    } catch (const NetworkError& error) {
        if (isCancellation(error, stop)) {
            return;
        }
        throw;
    }
    // Destroyed last: the socket closes (1001) after the heartbeat thread ended.
    const CloseOnExit closeOnExit{*connection};
    sendJson(*connection, hello(identity), stop);

    // Heartbeats go out on their own thread while this one reads; the socket
    // takes concurrent sends. The jthread's destructor stops and joins it.
    const auto interval = std::chrono::seconds(settings_.heartbeatIntervalSeconds);
    JThread heartbeats([&](StopToken own) {
        while (sleepFor(own, interval)) {
            if (auto current = identityProvider()) {
                try {
                    sendJson(*connection, heartbeat(*current), own);
                } catch (const std::exception&) {
                    // The receive side notices a broken socket.
                }
            }
        }
    });
    StopCallback forward(stop, [&] { heartbeats.request_stop(); });

    try {
        while (!stop.stop_requested()) {
            handleControlMessage(receiveJson(*connection, stop), commandWakeHandler, stop);
        }
    } catch (const NetworkError& error) {
        if (!isCancellation(error, stop)) {
            throw;
        }
    }
}

void ControlChannel::handleControlMessage(const Json& message, const CommandWakeHandler& commandWakeHandler,
                                          StopToken stop) {
    const auto type = stringMember(message, "type").value_or("message");
    if (type == "control-ready") {
        ViewerLogger::info("Control WSS ready.");
    } else if (type == "heartbeat-ack" || type == "pong" || type == "ack") {
        return;
    } else if (type == "agent_command.queued") {
        const auto commandType = stringMember(message, "command_type").value_or("-");
        ViewerLogger::info("Control WSS wake-up received for command type=" + commandType);
        commandWakeHandler(stop);
    } else if (type == "remote_session.requested") {
        const auto request = RemoteSessionRequest::fromControlMessage(message);
        if (!request) {
            ViewerLogger::warn("Malformed remote_session.requested event.");
            return;
        }
        ViewerLogger::info("Remote session requested: " + request->publicId);
        remoteAgent_->handle(*request, stop);
    } else if (type == "control-rejected") {
        const auto status = message.find("status_code");
        const auto parsed = status != message.end() ? jsonInt64(*status) : std::nullopt;
        const int code = parsed && *parsed >= 100 && *parsed <= 999 ? static_cast<int>(*parsed) : 401;
        throw ViewerError::http(code, stringMember(message, "detail").value_or(""));
    } else {
        ViewerLogger::info("Control WSS message type=" + type);
    }
}

} // namespace kova
