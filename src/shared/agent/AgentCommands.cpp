#include "agent/AgentService.hpp"
#include "agent/FileTransfer.hpp"
#include "config/MacViewerBuildInfo.hpp"
#include "core/Errors.hpp"
#include "core/ViewerLogger.hpp"
#include "process/ShellCommand.hpp"

#include <system_error>

namespace kova {
namespace {

// Command types whose handlers this agent does not carry yet: they are
// reported as failed with this error rather than as unknown commands.
const std::vector<std::string>& pendingHandlerTypes() {
    static const std::vector<std::string> types = {"client_update"};
    return types;
}

} // namespace

std::string commandErrorText(const std::exception& error) {
    if (const auto* domain = dynamic_cast<const DomainError*>(&error)) {
        return "Error Domain=" + domain->domain() + " Code=" + std::to_string(domain->code()) + " \"" +
               domain->description() + "\"";
    }
    if (const auto* system = dynamic_cast<const std::system_error*>(&error)) {
        return "Error Domain=NSPOSIXErrorDomain Code=" + std::to_string(system->code().value()) + " \"" +
               system->what() + "\"";
    }
    return errorDescription(error);
}

void AgentService::report(std::int64_t id, const std::string& status, const Json& result,
                          std::stop_token stop) {
    apiClient_->updateCommand(id, status, result, stop);
}

void AgentService::processPendingCommands(const std::optional<std::string>& commandType,
                                          const std::string& reason, std::stop_token stop) {
    // One fetch-and-dispatch at a time: a command that two overlapping
    // fetches both returned is then handled once.
    std::unique_lock lock(commandMutex_);
    const auto deviceUid = stateSnapshot().deviceUid;
    if (!deviceUid) {
        return;
    }
    std::vector<AgentCommand> commands;
    try {
        commands = apiClient_->pendingCommands(*deviceUid, commandType, stop);
    } catch (const std::exception& error) {
        ViewerLogger::error(error, "Command polling failed");
        return;
    }
    if (!commands.empty()) {
        ViewerLogger::info("Processing " + std::to_string(commands.size()) +
                           " pending commands. reason=" + reason + " type=" + commandType.value_or("all"));
        for (const auto& command : commands) {
            if (stop.stop_requested()) {
                return;
            }
            handle(command, stop);
        }
    }
    lock.unlock();
    sendPendingChatMessages("commands_" + reason, stop);
}

void AgentService::handle(const AgentCommand& command, std::stop_token stop) {
    try {
        const auto& type = command.commandType;
        if (type == "force_audit") {
            sendInventory("force_audit", stop);
            report(command.id, "completed", Json{{"audit_sent", true}}, stop);
        } else if (type == "ip_scan") {
            report(command.id, "completed",
                   IpScanner::scan(command.payload, *processRunner_, networkInterfaces_, stop), stop);
        } else if (type == "user_notify") {
            report(command.id, "completed", handleUserNotification(command.payload), stop);
        } else if (type == "shell") {
            report(command.id, "completed", executeShell(*processRunner_, command.payload, stop), stop);
        } else if (type == "file_list") {
            report(command.id, "completed", FileTransfer::listFiles(command.payload), stop);
        } else if (type == "file_download") {
            report(command.id, "completed", FileTransfer::downloadFile(command.payload), stop);
        } else if (type == "file_upload") {
            report(command.id, "completed", FileTransfer::uploadFile(command.payload), stop);
        } else if (type == "client_uninstall") {
            report(command.id, "picked_up", Json{{"platform", "macos"}, {"uninstall_started", false}}, stop);
            report(command.id, "completed", startSelfUninstall(), stop);
        } else if (std::find(pendingHandlerTypes().begin(), pendingHandlerTypes().end(), type) !=
                   pendingHandlerTypes().end()) {
            throw ViewerError::unsupported("The " + type +
                                           " command is not available in this agent version (" +
                                           std::string(MacViewerBuildInfo::version) + ").");
        } else {
            report(command.id, "failed", Json{{"error", "Unsupported macOS command " + type}}, stop);
        }
    } catch (const std::exception& error) {
        ViewerLogger::error(error, "Command handling failed id=" + std::to_string(command.id));
        try {
            report(command.id, "failed", Json{{"platform", "macos"}, {"error", commandErrorText(error)}},
                   stop);
        } catch (const std::exception&) {
            // The server keeps the command pending; the next fetch returns it.
        }
    }
}

} // namespace kova
