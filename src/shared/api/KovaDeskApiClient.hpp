#pragma once

#include "api/AgentRecords.hpp"
#include "api/CustomerRecords.hpp"
#include "api/TicketRecords.hpp"
#include "config/DeviceTokenStore.hpp"
#include "config/ViewerSettings.hpp"
#include "core/Json.hpp"
#include "core/Sleeper.hpp"
#include "core/Stop.hpp"
#include "net/HttpTransport.hpp"
#include "net/WebSocketClient.hpp"

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kova {

// The HTTPS client of the helpdesk server. Holds no mutable state of its own
// (the device token lives in its store), so any thread may call any operation
// and several requests may be in flight. Never logs: callers do.
class KovaDeskApiClient {
public:
    explicit KovaDeskApiClient(ViewerSettings settings, std::shared_ptr<HttpTransport> transport = nullptr,
                               std::shared_ptr<DeviceTokenStoring> deviceTokenStore = nullptr,
                               std::shared_ptr<Sleeper> sleeper = nullptr);

    // Device endpoints. Each throws ViewerError, NetworkError or DecodingError.
    DeviceRegistrationResponse sendInventory(const Json& payload, StopToken stop = {});
    void sendHeartbeat(const Json& payload, StopToken stop = {});
    std::vector<AgentCommand> pendingCommands(const std::string& deviceUid,
                                              const std::optional<std::string>& commandType,
                                              StopToken stop = {});
    void updateCommand(std::int64_t id, const std::string& status, const Json& result, StopToken stop = {});
    ViewerUpdateManifest updateManifest(const std::string& platform, const std::string& architecture,
                                        const std::string& currentVersion, const std::string& channel,
                                        StopToken stop = {});
    void sendChatMessage(const std::string& deviceUid, const AgentChatMessage& message, StopToken stop = {});
    void updateRemoteStatus(const std::string& sessionPublicId, const std::string& status,
                            const std::optional<std::string>& errorMessage, const Json& metadata,
                            StopToken stop = {});

    // The ticket endpoint, authorised as the device. Each call carries a new
    // "client_request_id"; the transport's retry repeats the same body.
    AgentTicketResponse createTicket(const AgentTicketDraft& draft, const ViewerState& state,
                                     StopToken stop = {});

    // Customer panel: never sent with the device's or the company's token.
    // The password and the session token appear in no error message.
    CustomerSessionResponse loginCustomer(const std::string& email, const std::string& password,
                                          StopToken stop = {});
    // afterMessageId is raised to 0 and limit kept within 1...50.
    CustomerTicketNotificationPage customerTicketNotifications(const std::string& sessionToken,
                                                               std::int64_t afterMessageId,
                                                               std::int64_t limit, StopToken stop = {});

    // Forgets a device token the server rejected; true when it did.
    bool recoverInvalidDeviceToken(const std::exception& error);
    // The proxy a request for the URL would go through now (absent: direct),
    // so a program the daemon starts can reach the server the same way.
    // Throws NetworkError when the proxy setting cannot be used.
    std::optional<platform::Proxy> proxyFor(const std::string& url) { return transport_->proxyFor(url); }
    WebSocketRequest authenticatedWebSocketRequest(const std::string& url);
    static std::string currentArchitecture() { return "arm64"; }

    const ViewerSettings& settings() const { return settings_; }
    DeviceTokenStoring& deviceTokenStore() { return *deviceTokenStore_; }

    static constexpr std::chrono::milliseconds retryDelay{750};

private:
    std::string endpointUrl(const std::string& pathAndQuery) const;
    std::optional<std::string> agentAuthorization(bool useDeviceToken, bool* usedDeviceToken);
    std::string performRequest(const std::string& method, const std::string& url,
                               const std::optional<Json>& json,
                               const std::optional<std::string>& customerSessionToken,
                               const std::optional<std::string>& authorization, StopToken stop);
    std::string requestWithAgentAuthorization(const std::string& method, const std::string& url,
                                              const std::optional<Json>& json, StopToken stop);
    // The same for a body already serialised (large ticket bodies are built as text).
    std::string sendWithAgentAuthorization(const std::string& method, const std::string& url,
                                           std::optional<std::string> body, StopToken stop);
    static std::optional<std::string> serializedBody(const std::optional<Json>& json);
    static HttpRequest buildRequest(const std::string& method, const std::string& url,
                                    std::optional<std::string> body,
                                    const std::optional<std::string>& customerSessionToken,
                                    const std::optional<std::string>& authorization);
    std::string sendWithRetry(const HttpRequest& request, StopToken stop);

    ViewerSettings settings_;
    std::shared_ptr<HttpTransport> transport_;
    std::shared_ptr<DeviceTokenStoring> deviceTokenStore_;
    std::shared_ptr<Sleeper> sleeper_;
};

} // namespace kova
