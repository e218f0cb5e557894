#include "api/KovaDeskApiClient.hpp"

#include "core/ConnectionIssue.hpp"
#include "core/Errors.hpp"
#include "core/Strings.hpp"
#include "core/Unicode.hpp"
#include "net/UrlHelpers.hpp"

namespace kova {
namespace {

bool isTransient(NetworkErrorCode code) {
    switch (code) {
    case NetworkErrorCode::timedOut:
    case NetworkErrorCode::cannotFindHost:
    case NetworkErrorCode::cannotConnectToHost:
    case NetworkErrorCode::networkConnectionLost:
    case NetworkErrorCode::dnsLookupFailed:
    case NetworkErrorCode::notConnectedToInternet:
        return true;
    default:
        return false;
    }
}

bool isRetryableStatus(long status) {
    return status == 500 || status == 502 || status == 503 || status == 504;
}

} // namespace

KovaDeskApiClient::KovaDeskApiClient(ViewerSettings settings, std::shared_ptr<HttpTransport> transport,
                                     std::shared_ptr<DeviceTokenStoring> deviceTokenStore,
                                     std::shared_ptr<Sleeper> sleeper)
    : settings_(std::move(settings)), transport_(transport ? std::move(transport) : makeCurlTransport()),
      deviceTokenStore_(deviceTokenStore ? std::move(deviceTokenStore)
                                         : std::make_shared<DeviceTokenStore>()),
      sleeper_(sleeper ? std::move(sleeper) : std::make_shared<RealSleeper>()) {}

std::string KovaDeskApiClient::endpointUrl(const std::string& pathAndQuery) const {
    auto url = settings_.normalizedServerBaseUrl() + pathAndQuery;
    if (!url::isValidAbsoluteUrl(url)) {
        throw ViewerError::configuration("Invalid URL for " + pathAndQuery + ".");
    }
    return url;
}

std::optional<std::string> KovaDeskApiClient::agentAuthorization(bool useDeviceToken, bool* usedDeviceToken) {
    if (usedDeviceToken) {
        *usedDeviceToken = false;
    }
    if (useDeviceToken) {
        if (auto token = deviceTokenStore_->load()) {
            if (usedDeviceToken) {
                *usedDeviceToken = true;
            }
            return "Device " + *token;
        }
    }
    const auto viewerToken = settings_.normalizedViewerToken();
    if (viewerToken.empty()) {
        return std::nullopt;
    }
    return "Bearer " + viewerToken;
}

std::string KovaDeskApiClient::performRequest(const std::string& method, const std::string& url,
                                              const std::optional<Json>& json,
                                              const std::optional<std::string>& customerSessionToken,
                                              const std::optional<std::string>& authorization,
                                              StopToken stop) {
    return sendWithRetry(buildRequest(method, url, serializedBody(json), customerSessionToken, authorization),
                         stop);
}

std::optional<std::string> KovaDeskApiClient::serializedBody(const std::optional<Json>& json) {
    if (!json) {
        return std::nullopt;
    }
    return compactJson(sanitizeJson(*json));
}

HttpRequest KovaDeskApiClient::buildRequest(const std::string& method, const std::string& url,
                                            std::optional<std::string> body,
                                            const std::optional<std::string>& customerSessionToken,
                                            const std::optional<std::string>& authorization) {
    HttpRequest request;
    request.method = method;
    request.url = url;
    request.headers.emplace_back("Accept", "application/json");
    if (authorization) {
        request.headers.emplace_back("Authorization", *authorization);
    }
    if (customerSessionToken && !customerSessionToken->empty()) {
        request.headers.emplace_back("X-Customer-Session", *customerSessionToken);
    }
    if (body) {
        request.headers.emplace_back("Content-Type", "application/json");
        request.body = std::move(body);
    }
    return request;
}

// Sends one request at most twice; the body is never copied between attempts.
std::string KovaDeskApiClient::sendWithRetry(const HttpRequest& request, StopToken stop) {
    for (int attempt = 1;; ++attempt) {
        HttpResponse response;
        try {
            response = transport_->send(request, stop);
        } catch (const NetworkError& error) {
            if (!isTransient(error.code())) {
                throw;
            }
            if (attempt == 1) {
                sleeper_->sleep(stop, retryDelay);
                continue;
            }
            throw ViewerError::temporarilyUnavailable(
                "Nie udało się połączyć z serwerem. Sprawdź połączenie z Internetem i spróbuj ponownie.");
        }
        if (response.status == 0) {
            throw ViewerError::invalidResponse("Missing HTTP response.");
        }
        if (response.status >= 200 && response.status <= 299) {
            return std::move(response.body);
        }
        if (isRetryableStatus(response.status)) {
            if (attempt == 1) {
                sleeper_->sleep(stop, retryDelay);
                continue;
            }
            throw ViewerError::temporarilyUnavailable("Serwer jest chwilowo niedostępny lub trwa jego "
                                                      "aktualizacja. Spróbuj ponownie za kilka sekund.");
        }
        auto body = isValidUtf8(response.body) ? std::move(response.body) : std::string();
        throw ViewerError::http(static_cast<int>(response.status), std::move(body));
    }
}

std::string KovaDeskApiClient::requestWithAgentAuthorization(const std::string& method,
                                                             const std::string& url,
                                                             const std::optional<Json>& json,
                                                             StopToken stop) {
    return sendWithAgentAuthorization(method, url, serializedBody(json), stop);
}

std::string KovaDeskApiClient::sendWithAgentAuthorization(const std::string& method, const std::string& url,
                                                          std::optional<std::string> body, StopToken stop) {
    bool usedDeviceToken = false;
    auto request =
        buildRequest(method, url, std::move(body), std::nullopt, agentAuthorization(true, &usedDeviceToken));
    try {
        return sendWithRetry(request, stop);
    } catch (const std::exception& error) {
        if (!AgentDeviceTokenRecovery::shouldRetryWithOrganizationToken(usedDeviceToken, error)) {
            throw;
        }
    }
    deviceTokenStore_->clear();
    // The same request once more, with the company token (or none) in place of the device token.
    std::erase_if(request.headers, [](const auto& header) { return header.first == "Authorization"; });
    if (auto authorization = agentAuthorization(false, nullptr)) {
        request.headers.emplace_back("Authorization", std::move(*authorization));
    }
    return sendWithRetry(request, stop);
}

bool KovaDeskApiClient::recoverInvalidDeviceToken(const std::exception& error) {
    if (!deviceTokenStore_->load()) {
        return false;
    }
    if (classifyConnectionIssue(error) != AgentConnectionIssue::invalidDeviceToken) {
        return false;
    }
    deviceTokenStore_->clear();
    return true;
}

WebSocketRequest KovaDeskApiClient::authenticatedWebSocketRequest(const std::string& url) {
    WebSocketRequest request;
    request.url = url;
    if (auto authorization = agentAuthorization(true, nullptr)) {
        request.headers.emplace_back("Authorization", *authorization);
    }
    return request;
}

DeviceRegistrationResponse KovaDeskApiClient::sendInventory(const Json& payload, StopToken stop) {
    const auto body =
        requestWithAgentAuthorization("POST", endpointUrl("/api/agent/devices/register"), payload, stop);
    auto response = DeviceRegistrationResponse::decode(body);
    if (response.deviceToken) {
        deviceTokenStore_->save(*response.deviceToken);
    }
    return response;
}

void KovaDeskApiClient::sendHeartbeat(const Json& payload, StopToken stop) {
    requestWithAgentAuthorization("POST", endpointUrl("/api/agent/devices/heartbeat"), payload, stop);
}

std::vector<AgentCommand> KovaDeskApiClient::pendingCommands(const std::string& deviceUid,
                                                             const std::optional<std::string>& commandType,
                                                             StopToken stop) {
    auto path = "/api/agent/devices/" + url::encodePath(deviceUid) + "/commands/pending";
    if (commandType && !trimmed(*commandType).empty()) {
        path += "?command_type=" + url::encodeQueryValue(*commandType);
    }
    const auto body = requestWithAgentAuthorization("GET", endpointUrl(path), std::nullopt, stop);
    const auto json = parseJson(body, "The pending commands response");
    std::vector<AgentCommand> commands;
    if (!json.is_array()) {
        return commands;
    }
    for (const auto& item : json) {
        if (!item.is_object()) {
            // Not an array of objects: nothing is taken from it.
            return {};
        }
    }
    for (const auto& item : json) {
        if (auto command = AgentCommand::from(item)) {
            commands.push_back(std::move(*command));
        }
    }
    return commands;
}

void KovaDeskApiClient::updateCommand(std::int64_t id, const std::string& status, const Json& result,
                                      StopToken stop) {
    const Json body = {{"status", status}, {"result", result}};
    requestWithAgentAuthorization(
        "POST", endpointUrl("/api/agent/device-commands/" + std::to_string(id) + "/status"), body, stop);
}

ViewerUpdateManifest KovaDeskApiClient::updateManifest(const std::string& platform,
                                                       const std::string& architecture,
                                                       const std::string& currentVersion,
                                                       const std::string& channel, StopToken stop) {
    const auto query = "platform=" + url::encodeQueryValue(platform) +
                       "&architecture=" + url::encodeQueryValue(architecture) +
                       "&current_version=" + url::encodeQueryValue(currentVersion) +
                       "&channel=" + url::encodeQueryValue(channel);
    const auto body = requestWithAgentAuthorization(
        "GET", endpointUrl("/api/agent/viewer/updates/manifest?" + query), std::nullopt, stop);
    return ViewerUpdateManifest::decode(body);
}

void KovaDeskApiClient::sendChatMessage(const std::string& deviceUid, const AgentChatMessage& message,
                                        StopToken stop) {
    const Json body = {
        {"text", message.text},
        {"sender", message.sender},
        {"public_id", message.publicId},
        {"client_message_id", message.clientMessageId},
        {"sent_at", formatIso8601(message.sentAt)},
    };
    requestWithAgentAuthorization(
        "POST", endpointUrl("/api/agent/devices/" + url::encodePath(deviceUid) + "/chat-messages"), body,
        stop);
}

void KovaDeskApiClient::updateRemoteStatus(const std::string& sessionPublicId, const std::string& status,
                                           const std::optional<std::string>& errorMessage,
                                           const Json& metadata, StopToken stop) {
    Json body = {{"status", status}, {"metadata", metadata}};
    if (errorMessage) {
        body["error_message"] = *errorMessage;
    }
    // The id comes from a control message; encoding it as one segment keeps a
    // stray "/" or "?" from redirecting the request to another endpoint.
    requestWithAgentAuthorization(
        "POST",
        endpointUrl("/api/agent/remote/sessions/" + url::encodePathSegment(sessionPublicId) + "/status"),
        body, stop);
}

} // namespace kova
