#include "menubar/platform/AdministratorPrompt.hpp"

#include <QProcess>

#include <memory>
#include <utility>

namespace kova::menubar {

void runAdministratorPrompt(QObject* context, const QString& program, const QStringList& arguments,
                            std::function<void(AdministratorCommandResult)> done) {
    auto* process = new QProcess(context);
    process->setProgram(program);
    process->setArguments(arguments);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    auto pending = std::make_shared<std::function<void(AdministratorCommandResult)>>(std::move(done));
    auto finish = [process, pending](AdministratorCommandResult result) {
        process->deleteLater();
        if (*pending) {
            auto callback = std::exchange(*pending, nullptr);
            callback(std::move(result));
        }
    };
    QObject::connect(process, &QProcess::finished, context,
                     [finish](int exitCode, QProcess::ExitStatus status) {
                         finish({true, status == QProcess::NormalExit ? exitCode : -1, {}});
                     });
    QObject::connect(process, &QProcess::errorOccurred, context,
                     [process, finish](QProcess::ProcessError error) {
                         if (error == QProcess::FailedToStart) {
                             finish({false, -1, process->errorString()});
                         }
                     });
    process->start();
}

std::string appleScriptStringEscaped(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            escaped.push_back('\\');
        }
        escaped.push_back(c);
    }
    return escaped;
}

std::string administratorAppleScript(std::string_view shellCommand) {
    return "do shell script \"" + appleScriptStringEscaped(shellCommand) + "\" with administrator privileges";
}

} // namespace kova::menubar
