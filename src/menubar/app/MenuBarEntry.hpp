#pragma once

#include "process/ProcessRunner.hpp"

#include <QList>
#include <QUrl>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The decisions of the program's entry, before any user interface exists.
namespace kova::menubar::entry {

inline constexpr std::string_view versionFlag = "--version";
inline constexpr std::string_view launchedByOpenFlag = "--launched-by-open";
inline constexpr std::string_view menuBarFlag = "--menubar";

// Whole-argument match anywhere in the list, the program path included.
bool hasArgument(const std::vector<std::string>& arguments, std::string_view flag);

// The bundle the executable belongs to: "X.app" for ".../X.app/Contents/MacOS/x",
// otherwise the executable's folder.
std::filesystem::path mainBundlePath(const std::filesystem::path& executable);

// The arguments of "/usr/bin/open" for a relaunch of the bundle; the program
// path is arguments[0] and is not forwarded, nor are the version and
// launched-by-open flags.
std::vector<std::string> relaunchArguments(const std::vector<std::string>& arguments,
                                           const std::filesystem::path& bundle);

// True when another copy was started through LaunchServices and this process
// must exit; outside an ".app" bundle the launch goes on in place.
bool relaunchThroughLaunchServicesIfNeeded(const std::vector<std::string>& arguments,
                                           const std::optional<std::filesystem::path>& executable,
                                           ProcessRunner& runner);

// The arguments after the program path that are links of `scheme` (compared
// ignoring case), in order.
QList<QUrl> linkArguments(const std::vector<std::string>& arguments, std::string_view scheme);

} // namespace kova::menubar::entry
