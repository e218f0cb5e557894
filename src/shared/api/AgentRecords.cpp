#include "api/AgentRecords.hpp"

#include "core/Strings.hpp"

namespace kova {

DeviceRegistrationResponse DeviceRegistrationResponse::decode(std::string_view body) {
    constexpr std::string_view what = "The registration response";
    const auto json = parseJson(body, what);
    DeviceRegistrationResponse r;
    r.deviceUid = trimmedNonEmpty(optionalString(json, "device_uid", what));
    r.supportId = trimmedNonEmpty(optionalString(json, "support_id", what));
    r.viewerId = trimmedNonEmpty(optionalString(json, "viewer_id", what));
    r.deviceCode = trimmedNonEmpty(optionalString(json, "device_code", what));
    r.publicId = trimmedNonEmpty(optionalString(json, "public_id", what));
    r.deviceToken = trimmedNonEmpty(optionalString(json, "device_token", what));
    if (r.deviceToken && containsControlCharacters(*r.deviceToken)) {
        // Sent on as a header it could inject lines into every request.
        r.deviceToken.reset();
        r.deviceTokenRefused = true;
    }
    return r;
}

std::optional<AgentCommand> AgentCommand::from(const Json& object) {
    if (!object.is_object()) {
        return std::nullopt;
    }
    const auto id = object.find("id");
    if (id == object.end() || !id->is_number_integer()) {
        return std::nullopt;
    }
    AgentCommand command;
    if (id->is_number_unsigned() && id->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
        return std::nullopt;
    }
    command.id = id->get<std::int64_t>();
    if (const auto t = object.find("command_type"); t != object.end()) {
        command.commandType = t->is_string() ? t->get<std::string>() : "";
    } else if (const auto c = object.find("commandType"); c != object.end() && c->is_string()) {
        command.commandType = c->get<std::string>();
    }
    if (const auto p = object.find("payload"); p != object.end() && p->is_object()) {
        command.payload = *p;
    }
    return command;
}

ViewerUpdateManifest ViewerUpdateManifest::decode(std::string_view body) {
    constexpr std::string_view what = "The update manifest";
    const auto json = parseJson(body, what);
    ViewerUpdateManifest m;
    m.platform = requireString(json, "platform", what);
    m.architecture = requireString(json, "architecture", what);
    m.channel = requireString(json, "channel", what);
    m.version = requireString(json, "version", what);
    m.url = requireString(json, "url", what);
    m.sha256 = optionalString(json, "sha256", what);
    if (const auto size = json.find("size_bytes"); size != json.end() && !size->is_null()) {
        m.sizeBytes = requireInt64(json, "size_bytes", what);
    }
    m.mandatory = requireBool(json, "mandatory", what);
    const auto args = json.find("silent_args");
    if (args == json.end() || !args->is_array()) {
        throw DecodingError(std::string(what) + " could not be decoded: \"silent_args\" is not an array.");
    }
    for (const auto& arg : *args) {
        if (!arg.is_string()) {
            throw DecodingError(std::string(what) +
                                " could not be decoded: \"silent_args\" holds a non-string.");
        }
        m.silentArgs.push_back(arg.get<std::string>());
    }
    return m;
}

} // namespace kova
