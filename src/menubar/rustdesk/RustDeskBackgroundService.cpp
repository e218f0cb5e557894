#include "menubar/rustdesk/RustDeskBackgroundService.hpp"

#include "core/ToolPaths.hpp"
#include "core/ViewerLogger.hpp"
#include "menubar/rustdesk/RustDeskProtocolLauncher.hpp"
#include "process/ProcessRunner.hpp"

#include <QProcess>

#include <stdexcept>

namespace kova::menubar {

RustDeskBackgroundService::RustDeskBackgroundService(std::shared_ptr<ProcessRunner> runner)
    : runner_(std::move(runner)) {}

void RustDeskBackgroundService::ensureRunning() const {
    ProcessSpec check;
    check.executable = tools::pgrep;
    check.arguments = {"-x", "RustDesk"};
    check.discardOutput = true;
    const ProcessResult found = runner_->run(check);
    if (found.launched && !found.signalled && found.exitStatus == 0) {
        return;
    }
    const auto executable = rustDeskPrimaryExecutable();
    if (!isExecutableFile(executable)) {
        ViewerLogger::info("RustDesk is not installed; background start skipped.");
        return;
    }
    // Detached: the endpoint outlives this check and is reaped by the system,
    // not left as a child of the menu bar.
    QProcess process;
    process.setProgram(QString::fromStdString(executable.string()));
    process.setArguments({QStringLiteral("--server")});
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    if (!process.startDetached()) {
        ViewerLogger::error(std::runtime_error(process.errorString().toStdString()),
                            "RustDesk background start failed");
        return;
    }
    ViewerLogger::info("RustDesk background endpoint started.");
}

} // namespace kova::menubar
