#pragma once

#include "core/Json.hpp"
#include "core/Time.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kova {

// Who the daemon is, as sent on the control channel and used for commands.
struct AgentIdentity {
    std::string deviceUid;
    std::optional<std::string> supportId;
    std::string hostname;
    std::optional<std::string> loggedInUser;
};

struct DeviceRegistrationResponse {
    std::optional<std::string> deviceUid;
    std::optional<std::string> supportId;
    std::optional<std::string> viewerId;
    std::optional<std::string> deviceCode;
    std::optional<std::string> publicId;
    std::optional<std::string> deviceToken;
    // The answer carried a device token with control characters; it is
    // treated as no token (deviceToken stays empty).
    bool deviceTokenRefused = false;

    // Every key optional; a present key of the wrong type throws DecodingError.
    // Values are trimmed; an identifier or token that is then empty is absent.
    static DeviceRegistrationResponse decode(std::string_view body);
};

struct AgentCommand {
    std::int64_t id = 0;
    std::string commandType;
    Json payload = Json::object();

    // nullopt when "id" is missing or not an integer.
    static std::optional<AgentCommand> from(const Json& object);
};

struct ViewerUpdateManifest {
    std::string platform;
    std::string architecture;
    std::string channel;
    std::string version;
    std::string url;
    std::optional<std::string> sha256;
    std::optional<std::int64_t> sizeBytes;
    bool mandatory = false;
    std::vector<std::string> silentArgs;

    static ViewerUpdateManifest decode(std::string_view body);
};

// One outgoing chat message as the server receives it.
struct AgentChatMessage {
    std::string text;
    std::string sender;
    std::string publicId;
    std::string clientMessageId;
    Timestamp sentAt;
};

} // namespace kova
