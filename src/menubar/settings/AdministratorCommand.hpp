#pragma once

#include "menubar/platform/Desktop.hpp"

#include <filesystem>
#include <string>

// The text run with administrator approval to put a settings file in place.
// Plain functions: the window and the platform layer only pass the result on.
namespace kova::menubar::AdministratorCommand {

inline constexpr auto daemonJob = "system/pl.tarnvik.sekwo.daemon";

// "<temporary directory>/sekwo-settings-<UUID, upper case>.json".
std::filesystem::path settingsTemporaryPath(const std::filesystem::path& temporaryDirectory);

// Where the new file is laid out before it replaces the target: a hidden
// name after the temporary file's, in the target's own directory (so the
// final rename is atomic).
std::filesystem::path settingsStagingPath(const std::filesystem::path& temporaryFile,
                                          const std::filesystem::path& targetFile);

// Creates the installation directory, copies the temporary file to the
// staging path, gives it to root and the administrators' group with mode
// 644, then renames it over the target and restarts the daemon. A failed
// step fails the whole command, removes the staged copy and leaves the old
// target whole; the restart is grouped so that its "|| true" excuses only
// the restart.
std::string settingsInstallCommand(const AdministratorTools& tools,
                                   const std::filesystem::path& installationDirectory,
                                   const std::filesystem::path& temporaryFile,
                                   const std::filesystem::path& targetFile);

} // namespace kova::menubar::AdministratorCommand
