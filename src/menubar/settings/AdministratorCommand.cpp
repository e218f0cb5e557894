#include "menubar/settings/AdministratorCommand.hpp"

#include "core/ShellQuote.hpp"

#include <QUuid>

namespace kova::menubar::AdministratorCommand {

std::filesystem::path settingsTemporaryPath(const std::filesystem::path& temporaryDirectory) {
    const QString uuid = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    return temporaryDirectory / ("sekwo-settings-" + uuid.toStdString() + ".json");
}

std::filesystem::path settingsStagingPath(const std::filesystem::path& temporaryFile,
                                          const std::filesystem::path& targetFile) {
    return targetFile.parent_path() / ("." + temporaryFile.filename().string());
}

std::string settingsInstallCommand(const AdministratorTools& tools,
                                   const std::filesystem::path& installationDirectory,
                                   const std::filesystem::path& temporaryFile,
                                   const std::filesystem::path& targetFile) {
    const std::string staged = shellQuoted(settingsStagingPath(temporaryFile, targetFile).string());
    return tools.makeDirectory + " -p " + shellQuoted(installationDirectory.string()) + " && { " +
           tools.copy + " " + shellQuoted(temporaryFile.string()) + " " + staged + " && " +
           tools.changeOwner + " root:" + tools.administratorsGroup + " " + staged + " && " +
           tools.changeMode + " 644 " + staged + " && " + tools.move + " -f " + staged + " " +
           shellQuoted(targetFile.string()) + " || { " + tools.remove + " -f " + staged +
           "; false; }; } && { " + tools.launchctl + " kickstart -k " + daemonJob +
           " >/dev/null 2>&1 || true; }";
}

} // namespace kova::menubar::AdministratorCommand
