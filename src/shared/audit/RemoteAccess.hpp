#pragma once

#include "core/Json.hpp"
#include "core/Stop.hpp"
#include "platform/SystemFacts.hpp"
#include "process/ProcessRunner.hpp"

#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace kova::audit {

// What the RustDesk probe found: the id from the console user's
// configuration, one of "not_installed", "online", "installed",
// "running_no_id", "installed_no_id", and the facts behind it.
struct RustDeskProbe {
    std::optional<std::string> id;
    std::string status;
    Json details;
};

// What the TeamViewer or AnyDesk probe found.
struct RemoteDesktopProbe {
    std::optional<std::string> id;
    Json details;
};

// The id in a RustDesk TOML file: a line-oriented reader of a few id keys,
// not a TOML parser.
std::optional<std::string> rustDeskIdFromToml(std::string_view text);
// The first numeric id of more than five digits under one of `keys` in
// "key = value" or "key: value" lines (defaults output, AnyDesk service.conf).
std::optional<std::string> configId(std::string_view text, std::initializer_list<std::string_view> keys);
// The home directory in `dscl . -read /Users/<name> NFSHomeDirectory` output.
std::optional<std::string> parseDsclHomeDirectory(std::string_view output);
// The first id in the RustDesk TOML files of a configuration directory.
std::optional<std::string> rustDeskIdFromConfigDirectory(const std::filesystem::path& directory);

// The console user that the probes look at, and where that user lives.
struct ConsoleUserContext {
    std::optional<std::string> user; // none while the login window is shown
    std::optional<std::filesystem::path> home;
};

// Finds RustDesk, TeamViewer and AnyDesk and the ids under which they can be
// reached. Reads other users' files and asks launchd; never writes anything.
// Const and stateless: the probes may run on several threads at once.
class RemoteAccessProbes {
public:
    RemoteAccessProbes(ProcessRunner& runner, const platform::SystemFacts& facts);

    // Asks the system for the console user and that user's home once, so the
    // three probes of one report share it.
    ConsoleUserContext consoleUserContext(StopToken stop = {}) const;
    std::optional<std::filesystem::path> homeDirectory(const std::string& user, StopToken stop = {}) const;

    RustDeskProbe rustDeskProbe(const ConsoleUserContext& console, StopToken stop = {}) const;
    RemoteDesktopProbe teamViewerProbe(const ConsoleUserContext& console, StopToken stop = {}) const;
    RemoteDesktopProbe anyDeskProbe(const ConsoleUserContext& console) const;

private:
    ProcessRunner& runner_;
    const platform::SystemFacts& facts_;
};

} // namespace kova::audit
