#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// The text run with administrator approval to put a settings file in place.
// Plain functions: the window and the platform layer only pass the result on.
namespace kova::menubar::AdministratorCommand {

inline constexpr auto daemonJob = "system/pl.tarnvik.sekwo.daemon";

// "<temporary directory>/sekwo-settings-<UUID, upper case>.json".
std::filesystem::path settingsTemporaryPath(const std::filesystem::path& temporaryDirectory);

// The five steps joined with " && ": create the installation directory, copy
// the temporary file over the target, give it to root:wheel, mode 644, then
// restart the daemon. The restart is grouped so that its "|| true" excuses
// only the restart: a failed copy still fails the whole command.
std::string settingsInstallCommand(const std::filesystem::path& installationDirectory,
                                   const std::filesystem::path& temporaryFile,
                                   const std::filesystem::path& targetFile);

// `text` for the inside of an AppleScript string literal: back-slashes doubled
// first, then every double quote preceded by a back-slash.
std::string appleScriptStringEscaped(std::string_view text);

// do shell script "<command>" with administrator privileges
std::string administratorAppleScript(std::string_view shellCommand);

} // namespace kova::menubar::AdministratorCommand
