#include "menubar/AdministratorCommand.hpp"

#include "core/ShellQuote.hpp"

#include <QUuid>

namespace kova::menubar::AdministratorCommand {

std::filesystem::path settingsTemporaryPath(const std::filesystem::path& temporaryDirectory) {
    const QString uuid = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    return temporaryDirectory / ("sekwo-settings-" + uuid.toStdString() + ".json");
}

std::string settingsInstallCommand(const std::filesystem::path& installationDirectory,
                                   const std::filesystem::path& temporaryFile,
                                   const std::filesystem::path& targetFile) {
    const std::string target = shellQuoted(targetFile.string());
    const std::string steps[] = {
        "/bin/mkdir -p " + shellQuoted(installationDirectory.string()),
        "/bin/cp " + shellQuoted(temporaryFile.string()) + " " + target,
        "/usr/sbin/chown root:wheel " + target,
        "/bin/chmod 644 " + target,
        std::string("{ /bin/launchctl kickstart -k ") + daemonJob + " >/dev/null 2>&1 || true; }",
    };
    std::string command;
    for (const auto& step : steps) {
        if (!command.empty()) {
            command += " && ";
        }
        command += step;
    }
    return command;
}

std::string appleScriptStringEscaped(std::string_view text) {
    std::string doubled;
    doubled.reserve(text.size());
    for (const char c : text) {
        doubled.push_back(c);
        if (c == '\\') {
            doubled.push_back('\\');
        }
    }
    std::string escaped;
    escaped.reserve(doubled.size());
    for (const char c : doubled) {
        if (c == '"') {
            escaped.push_back('\\');
        }
        escaped.push_back(c);
    }
    return escaped;
}

std::string administratorAppleScript(std::string_view shellCommand) {
    return "do shell script \"" + appleScriptStringEscaped(shellCommand) + "\" with administrator privileges";
}

} // namespace kova::menubar::AdministratorCommand
