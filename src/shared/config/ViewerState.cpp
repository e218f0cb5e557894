#include "config/ViewerState.hpp"

#include "core/Files.hpp"
#include "core/Paths.hpp"
#include "core/ViewerLogger.hpp"

#include <filesystem>

namespace kova {
namespace {

template <typename T, typename F>
void readOptional(const Json& json, const char* key, std::optional<T>& out, std::string_view what,
                  F&& convert) {
    const auto it = json.find(key);
    if (it == json.end() || it->is_null()) {
        return;
    }
    out = convert(*it, key, what);
}

std::string asString(const Json& value, const char* key, std::string_view what) {
    if (!value.is_string()) {
        throw DecodingError(std::string(what) + " could not be decoded: \"" + key + "\" is not a string.");
    }
    return value.get<std::string>();
}

Timestamp asDate(const Json& value, const char* key, std::string_view what) {
    const auto text = asString(value, key, what);
    if (auto t = parseIso8601(text)) {
        return *t;
    }
    throw DecodingError(std::string(what) + " could not be decoded: \"" + key +
                        "\" is not an ISO 8601 date.");
}

AgentConnectionIssue asIssue(const Json& value, const char* key, std::string_view what) {
    if (auto issue = connectionIssueFromName(asString(value, key, what))) {
        return *issue;
    }
    throw DecodingError(std::string(what) + " could not be decoded: unknown \"" + key + "\".");
}

} // namespace

std::mutex& stateFileMutex() {
    static std::mutex m;
    return m;
}

ViewerState ViewerState::decode(std::string_view text, std::string_view what) {
    const auto json = parseJson(text, what);
    if (!json.is_object()) {
        throw DecodingError(std::string(what) + " could not be decoded: a JSON object was expected.");
    }
    ViewerState s;
    readOptional(json, "deviceUid", s.deviceUid, what, asString);
    readOptional(json, "supportId", s.supportId, what, asString);
    readOptional(json, "hostname", s.hostname, what, asString);
    readOptional(json, "lastInventoryAt", s.lastInventoryAt, what, asDate);
    readOptional(json, "lastHeartbeatAt", s.lastHeartbeatAt, what, asDate);
    readOptional(json, "deviceToken", s.deviceToken, what, asString);
    readOptional(json, "connectionIssue", s.connectionIssue, what, asIssue);
    readOptional(json, "connectionMessage", s.connectionMessage, what, asString);
    readOptional(json, "lastConnectionErrorAt", s.lastConnectionErrorAt, what, asDate);
    return s;
}

Json ViewerState::toJson() const {
    Json json = Json::object();
    const auto put = [&](const char* key, const std::optional<std::string>& v) {
        if (v) {
            json[key] = *v;
        }
    };
    const auto putDate = [&](const char* key, const std::optional<Timestamp>& v) {
        if (v) {
            json[key] = formatIso8601(*v);
        }
    };
    put("deviceUid", deviceUid);
    put("supportId", supportId);
    put("hostname", hostname);
    putDate("lastInventoryAt", lastInventoryAt);
    putDate("lastHeartbeatAt", lastHeartbeatAt);
    put("deviceToken", deviceToken);
    if (connectionIssue) {
        json["connectionIssue"] = std::string(connectionIssueName(*connectionIssue));
    }
    put("connectionMessage", connectionMessage);
    putDate("lastConnectionErrorAt", lastConnectionErrorAt);
    return json;
}

ViewerState ViewerState::load() {
    std::error_code ec;
    std::filesystem::path path;
    bool fromLegacy = false;
    if (std::filesystem::exists(paths::statePath(), ec)) {
        path = paths::statePath();
    } else if (std::filesystem::exists(paths::legacyStatePath(), ec)) {
        path = paths::legacyStatePath();
        fromLegacy = true;
    } else {
        return {};
    }
    const auto text = files::readFileIfPresent(path);
    if (!text) {
        return {};
    }
    ViewerState state;
    try {
        state = decode(*text, path.string());
    } catch (const DecodingError&) {
        ViewerLogger::error("State load failed: could not decode " + path.string() + ".");
        return {};
    }
    if (fromLegacy) {
        state.save();
    }
    return state;
}

void ViewerState::save() const {
    try {
        files::createDirectories(paths::configDirectory());
        files::writeFileAtomically(paths::statePath(), prettyJson(toJson()));
    } catch (const std::exception& e) {
        ViewerLogger::error(e, "State save failed");
    }
}

} // namespace kova
