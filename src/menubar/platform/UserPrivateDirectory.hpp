#pragma once

#include <filesystem>
#include <optional>

namespace kova::menubar {

// A directory only the user this process runs as can write, for what another
// local user must not be able to plant or take over first (the instance lock,
// the wake socket): the session's runtime directory when it is the user's own
// and closed to others, otherwise "Sekwo Tarnvik" in the user's data
// directory, created 0700. Nothing when neither can be had. Creates no Qt
// object, so it is safe before the application object exists.
std::optional<std::filesystem::path> userPrivateDirectory();

// A directory (not a link to one) owned by this process's user that no one
// else may write to.
bool isPrivateDirectory(const std::filesystem::path& path);

} // namespace kova::menubar
