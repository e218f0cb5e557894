#include "config/ViewerState.hpp"

#include "core/Files.hpp"
#include "core/Paths.hpp"
#include "core/ViewerLogger.hpp"

#include <filesystem>

namespace kova {
namespace {

std::optional<AgentConnectionIssue> optionalIssue(const Json& json, const char* key, std::string_view what) {
    const auto text = optionalString(json, key, what);
    if (!text) {
        return std::nullopt;
    }
    if (auto issue = connectionIssueFromName(*text)) {
        return issue;
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
    ViewerState s;
    s.deviceUid = optionalString(json, "deviceUid", what);
    s.supportId = optionalString(json, "supportId", what);
    s.hostname = optionalString(json, "hostname", what);
    s.lastInventoryAt = optionalDate(json, "lastInventoryAt", what);
    s.lastHeartbeatAt = optionalDate(json, "lastHeartbeatAt", what);
    s.deviceToken = optionalString(json, "deviceToken", what);
    s.connectionIssue = optionalIssue(json, "connectionIssue", what);
    s.connectionMessage = optionalString(json, "connectionMessage", what);
    s.lastConnectionErrorAt = optionalDate(json, "lastConnectionErrorAt", what);
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
