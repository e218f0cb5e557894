#include "audit/RemoteAccess.hpp"

#include "audit/ToolOutput.hpp"
#include "core/Paths.hpp"
#include "core/Strings.hpp"
#include "core/ToolPaths.hpp"
#include "core/Unicode.hpp"

#include "core/Files.hpp"
#include <algorithm>
#include <array>
#include <cctype>

namespace kova::audit {
namespace {

constexpr std::string_view rustDeskAppPath = "/Applications/RustDesk.app";
constexpr std::size_t maximumConfigurationBytes = 1 << 20;

template <typename F> void forEachLine(std::string_view text, F&& f) {
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        f(text.substr(start, end - start));
        start = end + 1;
    }
}

std::string trimCharacters(std::string_view text, std::string_view characters) {
    // White space and line breaks always count, on top of `characters`.
    std::string current = trimmed(text);
    for (;;) {
        std::string_view view = current;
        const auto begin = view.find_first_not_of(characters);
        if (begin == std::string_view::npos) {
            return {};
        }
        view = view.substr(begin, view.find_last_not_of(characters) - begin + 1);
        std::string next = trimmed(view);
        if (next == current) {
            return current;
        }
        current = std::move(next);
    }
}

std::optional<std::string> readTextFile(const std::filesystem::path& path) {
    auto text = files::readRegularFile(path, maximumConfigurationBytes);
    if (!text || !isValidUtf8(*text)) {
        return std::nullopt;
    }
    return text;
}

bool pathExists(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

// A console user name becomes part of paths and tool arguments: names that
// could climb out of /Users or read as an option are not used.
bool isUsableUserName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.front() != '-' &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

bool isDecimal(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool reportsRunning(const std::optional<std::string>& launchctlOutput) {
    return launchctlOutput && launchctlOutput->find("state = running") != std::string::npos;
}

Json pathList(const std::vector<std::filesystem::path>& paths) {
    Json list = Json::array();
    for (const auto& path : paths) {
        list.push_back(path.string());
    }
    return list;
}

} // namespace

std::optional<std::string> rustDeskIdFromToml(std::string_view text) {
    static constexpr std::array<std::string_view, 5> keys = {"id", "rustdesk_id", "rustdesk-id", "client_id",
                                                             "client-id"};
    std::optional<std::string> found;
    forEachLine(text, [&](std::string_view rawLine) {
        if (found) {
            return;
        }
        const std::string line = trimmed(rawLine);
        const auto eq = line.find('=');
        if (line.starts_with("#") || eq == std::string::npos) {
            return;
        }
        const std::string key = trimmed(std::string_view(line).substr(0, eq));
        if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
            return;
        }
        std::string value;
        for (char c : trimCharacters(std::string_view(line).substr(eq + 1), "\"' ")) {
            if (std::isalnum(static_cast<unsigned char>(c)) || c == '-') {
                value.push_back(c);
            }
        }
        if (value.size() > 5) {
            found = std::move(value);
        }
    });
    return found;
}

std::optional<std::string> configId(std::string_view text, std::initializer_list<std::string_view> keys) {
    std::optional<std::string> found;
    forEachLine(text, [&](std::string_view rawLine) {
        if (found) {
            return;
        }
        const std::string line = trimmed(rawLine);
        if (line.empty() || line.starts_with("#")) {
            return;
        }
        const auto separator = line.find_first_of("=:");
        if (separator == std::string::npos) {
            return;
        }
        const auto key = trimCharacters(std::string_view(line).substr(0, separator), "\"' ");
        if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
            return;
        }
        std::string digits;
        for (char c : trimCharacters(std::string_view(line).substr(separator + 1), "\"';, ")) {
            if (c >= '0' && c <= '9') {
                digits.push_back(c);
            }
        }
        if (digits.size() > 5) {
            found = std::move(digits);
        }
    });
    return found;
}

std::optional<std::string> parseDsclHomeDirectory(std::string_view output) {
    constexpr std::string_view marker = "NFSHomeDirectory:";
    const auto found = output.find(marker);
    if (found == std::string_view::npos) {
        return std::nullopt;
    }
    auto home = trimmed(output.substr(found + marker.size()));
    if (home.empty()) {
        return std::nullopt;
    }
    return home;
}

std::optional<std::string> rustDeskIdFromConfigDirectory(const std::filesystem::path& directory) {
    for (const char* name :
         {"RustDesk.toml", "RustDesk2.toml", "RustDesk_local.toml", "RustDesk_default.toml"}) {
        if (const auto text = readTextFile(directory / name)) {
            if (auto id = rustDeskIdFromToml(*text); id && !id->empty()) {
                return id;
            }
        }
    }
    return std::nullopt;
}

RemoteAccessProbes::RemoteAccessProbes(ProcessRunner& runner, const platform::SystemFacts& facts)
    : runner_(runner), facts_(facts) {}

ConsoleUserContext RemoteAccessProbes::consoleUserContext(StopToken stop) const {
    ConsoleUserContext context;
    auto user = facts_.consoleUser();
    if (!user || *user == "loginwindow") {
        return context;
    }
    context.user = std::move(user);
    context.home = homeDirectory(*context.user, stop);
    return context;
}

std::optional<std::filesystem::path> RemoteAccessProbes::homeDirectory(const std::string& user,
                                                                       StopToken stop) const {
    if (user == facts_.processUserName()) {
        if (auto home = facts_.processHomeDirectory()) {
            return home;
        }
    }
    if (!isUsableUserName(user)) {
        return std::nullopt;
    }
    if (const auto output =
            runTool(runner_, tools::dscl, {".", "-read", "/Users/" + user, "NFSHomeDirectory"}, stop)) {
        if (const auto home = parseDsclHomeDirectory(*output)) {
            return paths::fixed(*home);
        }
    }
    const auto fallback = paths::fixed("/Users/" + user);
    std::error_code ec;
    if (std::filesystem::is_directory(fallback, ec)) {
        return fallback;
    }
    return std::nullopt;
}

RustDeskProbe RemoteAccessProbes::rustDeskProbe(const ConsoleUserContext& console, StopToken stop) const {
    const auto appPath = paths::fixed(rustDeskAppPath);
    const bool installed = pathExists(appPath);
    std::optional<std::filesystem::path> configDirectory;
    bool agentRunning = false;
    if (console.user) {
        if (console.home) {
            configDirectory = *console.home / "Library/Preferences/com.carriez.RustDesk";
        }
        if (isUsableUserName(*console.user)) {
            const auto uid = runTool(runner_, tools::id, {"-u", *console.user}, stop);
            if (uid && isDecimal(*uid)) {
                agentRunning =
                    reportsRunning(runTool(runner_, tools::launchctl,
                                           {"print", "gui/" + *uid + "/com.carriez.RustDesk_server"}, stop));
            }
        }
    }
    const bool serviceRunning = reportsRunning(
        runTool(runner_, tools::launchctl, {"print", "system/com.carriez.RustDesk_service"}, stop));
    const bool running = agentRunning || serviceRunning;
    const auto foundId = configDirectory ? rustDeskIdFromConfigDirectory(*configDirectory) : std::nullopt;

    RustDeskProbe probe;
    if (!installed) {
        probe.status = "not_installed";
        probe.id = foundId;
    } else if (foundId) {
        probe.status = running ? "online" : "installed";
        probe.id = foundId;
    } else {
        probe.status = running ? "running_no_id" : "installed_no_id";
    }
    probe.details = Json::object();
    probe.details["provider"] = "rustdesk";
    probe.details["installed"] = installed;
    probe.details["app_path"] = appPath.string();
    probe.details["console_user"] = console.user ? Json(*console.user) : Json(nullptr);
    probe.details["config_directory"] = configDirectory ? Json(configDirectory->string()) : Json(nullptr);
    probe.details["server_launch_agent_running"] = agentRunning;
    probe.details["service_launch_daemon_running"] = serviceRunning;
    return probe;
}

RemoteDesktopProbe RemoteAccessProbes::teamViewerProbe(const ConsoleUserContext& console,
                                                       StopToken stop) const {
    std::vector<std::filesystem::path> paths = {
        paths::fixed("/Library/Preferences/com.teamviewer.teamviewer.preferences.plist"),
        paths::fixed("/Library/Preferences/com.teamviewer.teamviewer.preferences.Machine.plist")};
    if (console.user && console.home) {
        paths.push_back(*console.home / "Library/Preferences/com.teamviewer.teamviewer.preferences.plist");
    }
    RemoteDesktopProbe probe;
    for (const auto& path : paths) {
        // defaults fails on a missing file anyway; not starting it saves a process.
        if (!pathExists(path)) {
            continue;
        }
        if (const auto output = runTool(runner_, tools::defaults, {"read", path.string()}, stop)) {
            probe.id = configId(*output, {"ClientID", "ClientId", "client_id"});
            if (probe.id) {
                break;
            }
        }
    }
    probe.details = Json::object();
    probe.details["provider"] = "teamviewer";
    probe.details["installed"] = pathExists(paths::fixed("/Applications/TeamViewer.app")) ||
                                 pathExists(paths::fixed("/Applications/TeamViewer Host.app"));
    probe.details["preference_paths"] = pathList(paths);
    return probe;
}

RemoteDesktopProbe RemoteAccessProbes::anyDeskProbe(const ConsoleUserContext& console) const {
    std::vector<std::filesystem::path> paths = {
        paths::fixed("/etc/anydesk/service.conf"),
        paths::fixed("/Library/Application Support/AnyDesk/service.conf")};
    if (console.user && console.home) {
        paths.push_back(*console.home / "Library/Application Support/AnyDesk/service.conf");
    }
    RemoteDesktopProbe probe;
    for (const auto& path : paths) {
        if (const auto text = readTextFile(path)) {
            probe.id = configId(*text, {"ad.anynet.id", "client_id", "client-id"});
            if (probe.id) {
                break;
            }
        }
    }
    probe.details = Json::object();
    probe.details["provider"] = "anydesk";
    probe.details["installed"] = pathExists(paths::fixed("/Applications/AnyDesk.app"));
    probe.details["configuration_paths"] = pathList(paths);
    return probe;
}

} // namespace kova::audit
