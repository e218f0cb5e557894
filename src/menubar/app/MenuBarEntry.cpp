#include "menubar/app/MenuBarEntry.hpp"

#include "core/Strings.hpp"
#include "core/ToolPaths.hpp"
#include "core/ViewerLogger.hpp"

#include <cstring>
#include <system_error>

namespace kova::menubar::entry {

bool hasArgument(const std::vector<std::string>& arguments, std::string_view flag) {
    for (const auto& argument : arguments) {
        if (argument == flag) {
            return true;
        }
    }
    return false;
}

std::filesystem::path mainBundlePath(const std::filesystem::path& executable) {
    const auto folder = executable.parent_path();
    if (folder.filename() == "MacOS" && folder.parent_path().filename() == "Contents") {
        return folder.parent_path().parent_path();
    }
    return folder;
}

std::vector<std::string> relaunchArguments(const std::vector<std::string>& arguments,
                                           const std::filesystem::path& bundle) {
    std::vector<std::string> result{"-n", bundle.string(), "--args", std::string(launchedByOpenFlag)};
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] != launchedByOpenFlag && arguments[i] != versionFlag) {
            result.push_back(arguments[i]);
        }
    }
    return result;
}

bool relaunchThroughLaunchServicesIfNeeded(const std::vector<std::string>& arguments,
                                           const std::optional<std::filesystem::path>& executable,
                                           ProcessRunner& runner) {
    if (hasArgument(arguments, launchedByOpenFlag)) {
        return false;
    }
    const auto bundle = executable ? mainBundlePath(*executable) : std::filesystem::path();
    if (asciiLowercased(bundle.extension().string()) != ".app") {
        ViewerLogger::error("Direct GUI launch rejected outside an application bundle.");
        return false;
    }
    ProcessSpec spec;
    spec.executable = tools::open;
    spec.arguments = relaunchArguments(arguments, bundle);
    const auto result = runner.run(spec);
    if (!result.launched) {
        ViewerLogger::error(std::system_error(result.launchError, std::generic_category()),
                            "LaunchServices relaunch failed");
        return false;
    }
    return !result.signalled && result.exitStatus == 0;
}

QList<QUrl> linkArguments(const std::vector<std::string>& arguments, std::string_view scheme) {
    QList<QUrl> links;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const QUrl url(QString::fromStdString(arguments[i]), QUrl::StrictMode);
        if (url.isValid() && equalsIgnoringCase(url.scheme().toStdString(), scheme)) {
            links << url;
        }
    }
    return links;
}

} // namespace kova::menubar::entry
