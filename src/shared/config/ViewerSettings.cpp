#include "config/ViewerSettings.hpp"

#include "core/Errors.hpp"
#include "core/Files.hpp"
#include "core/Paths.hpp"
#include "core/Strings.hpp"
#include "platform/SystemFacts.hpp"

#include <algorithm>
#include <boost/url/parse.hpp>
#include <cstdlib>
#include <optional>
#include <unistd.h>
#include <vector>

namespace kova {
namespace {

// Host of an https/other URL after the same cleaning the settings apply, or
// nullopt when the text does not parse as an absolute URL.
struct ParsedUrl {
    std::string scheme;
    std::string host;
};

std::optional<ParsedUrl> parseUrl(const std::string& text) {
    auto result = boost::urls::parse_uri(text);
    if (!result) {
        return std::nullopt;
    }
    return ParsedUrl{std::string(result->scheme()), result->encoded_host().decode()};
}

std::vector<std::filesystem::path> candidatePaths() {
    std::vector<std::filesystem::path> candidates;
    if (const char* env = std::getenv("KOVA_VIEWER_SETTINGS_PATH")) {
        candidates.emplace_back(env);
    }
    candidates.push_back(paths::configPath());
    candidates.push_back(paths::legacyConfigPath());
    std::error_code ec;
    const auto cwd = std::filesystem::current_path(ec);
    if (!ec) {
        candidates.push_back(cwd / "viewer.settings.json");
        candidates.push_back(cwd / "sekwo.settings.json");
    }
    // The bundle of a command-line program is the folder of its executable.
    if (const auto executable = platform::executablePath()) {
        candidates.push_back(executable->parent_path() / "Contents/Resources/viewer.settings.json");
    }
    return candidates;
}

} // namespace

std::string ViewerSettings::defaultServerBaseUrl() {
    return KOVA_DEFAULT_SERVER_URL;
}
std::string ViewerSettings::legacyServerHost() {
    return KOVA_LEGACY_SERVER_HOST;
}

ViewerSettings ViewerSettings::defaults() {
    ViewerSettings s;
    s.serverBaseUrl = defaultServerBaseUrl();
    return s;
}

ViewerSettings ViewerSettings::loadOrDefaults() {
    try {
        return load();
    } catch (const std::exception&) {
        return defaults();
    }
}

ViewerSettings ViewerSettings::decode(std::string_view text, std::string_view what) {
    const auto json = parseJson(text, what);
    ViewerSettings s;
    s.serverBaseUrl = requireString(json, "serverBaseUrl", what);
    s.viewerToken = requireString(json, "viewerToken", what);
    s.auditIntervalMinutes = requireInt64(json, "auditIntervalMinutes", what);
    s.heartbeatIntervalSeconds = requireInt64(json, "heartbeatIntervalSeconds", what);
    s.commandPollIntervalSeconds = requireInt64(json, "commandPollIntervalSeconds", what);
    s.chatPollIntervalSeconds = requireInt64(json, "chatPollIntervalSeconds", what);
    s.controlReconnectMaxSeconds = requireInt64(json, "controlReconnectMaxSeconds", what);
    if (json.contains("notificationsEnabled") && !json["notificationsEnabled"].is_null()) {
        s.notificationsEnabled = requireBool(json, "notificationsEnabled", what);
    }
    return s;
}

ViewerSettings ViewerSettings::load() {
    std::optional<std::filesystem::path> found;
    for (const auto& candidate : candidatePaths()) {
        std::error_code ec;
        if (std::filesystem::exists(candidate, ec)) {
            found = candidate;
            break;
        }
    }
    if (!found) {
        throw ViewerError::configuration("sekwo.settings.json was not found.");
    }
    auto settings = decode(files::readFile(*found), found->string());
    const bool migrated = settings.migrateLegacyHost();
    settings.validate();
    if (*found == paths::legacyConfigPath() || migrated) {
        try {
            settings.write(paths::configPath());
        } catch (const std::exception&) {
            // The record is still good; the copy is retried at the next start.
        }
    }
    return settings;
}

bool ViewerSettings::migrateLegacyHost() {
    const auto url = parseUrl(trimmedTrailingSlash(trimmed(serverBaseUrl)));
    if (!url || url->host.empty()) {
        return false;
    }
    if (!equalsIgnoringCase(url->host, legacyServerHost())) {
        return false;
    }
    serverBaseUrl = defaultServerBaseUrl();
    return true;
}

void ViewerSettings::validate() {
    serverBaseUrl = trimmedTrailingSlash(trimmed(serverBaseUrl));
    viewerToken = trimmed(viewerToken);
    auditIntervalMinutes = std::max<std::int64_t>(auditIntervalMinutes, 5);
    heartbeatIntervalSeconds =
        heartbeatIntervalSeconds == 30 ? 300 : std::max<std::int64_t>(heartbeatIntervalSeconds, 60);
    commandPollIntervalSeconds = std::max<std::int64_t>(commandPollIntervalSeconds, 30);
    chatPollIntervalSeconds = std::clamp<std::int64_t>(chatPollIntervalSeconds, 1, 5);
    controlReconnectMaxSeconds = std::clamp<std::int64_t>(controlReconnectMaxSeconds, 5, 300);

    const auto url = parseUrl(serverBaseUrl);
    if (!url || asciiLowercased(url->scheme) != "https" || trimmed(url->host).empty()) {
        throw ViewerError::configuration("serverBaseUrl must be a valid HTTPS URL.");
    }
}

Json ViewerSettings::toJson() const {
    return Json{
        {"serverBaseUrl", serverBaseUrl},
        {"viewerToken", viewerToken},
        {"auditIntervalMinutes", auditIntervalMinutes},
        {"heartbeatIntervalSeconds", heartbeatIntervalSeconds},
        {"commandPollIntervalSeconds", commandPollIntervalSeconds},
        {"chatPollIntervalSeconds", chatPollIntervalSeconds},
        {"controlReconnectMaxSeconds", controlReconnectMaxSeconds},
        {"notificationsEnabled", notificationsEnabled},
    };
}

void ViewerSettings::write(const std::filesystem::path& path) const {
    if (path.has_parent_path()) {
        files::createDirectories(path.parent_path());
    }
    files::writeFileAtomically(path, prettyJson(toJson()));
}

std::string ViewerSettings::normalizedServerBaseUrl() const {
    return trimmedTrailingSlash(trimmed(serverBaseUrl));
}
bool ViewerSettings::hasViewerToken() const {
    return !trimmed(viewerToken).empty();
}
std::string ViewerSettings::normalizedViewerToken() const {
    return trimmed(viewerToken);
}

} // namespace kova
