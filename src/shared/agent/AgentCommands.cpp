#include "agent/AgentService.hpp"
#include "agent/FileTransfer.hpp"
#include "config/MacViewerBuildInfo.hpp"
#include "core/Errors.hpp"
#include "core/Sleeper.hpp"
#include "core/Stop.hpp"
#include "core/ViewerLogger.hpp"
#include "process/ShellCommand.hpp"

#include <chrono>
#include <optional>
#include <set>
#include <system_error>

namespace kova {
namespace {

// After a stop request, the last report of the command in hand may still go
// out, but only within this budget, so the daemon still ends within 2 s.
constexpr auto reportBudgetAfterStop = std::chrono::milliseconds(1000);

// A stop token that fires when the budget has passed.
class ReportDeadline {
public:
    explicit ReportDeadline(std::chrono::milliseconds budget)
        : timer_([this, budget](StopToken own) {
              if (sleepFor(own, std::chrono::nanoseconds(budget))) {
                  source_.request_stop();
              }
          }) {}
    StopToken token() const { return source_.get_token(); }

private:
    StopSource source_; // declared first: the timer uses it until joined
    JThread timer_;
};

} // namespace

// The stop token for one command's reports: the caller's until a stop is
// requested, then one budget shared by every report that follows.
class CommandReportStop {
public:
    explicit CommandReportStop(StopToken stop) : stop_(std::move(stop)) {}
    bool stopping() const { return stop_.stop_requested(); }
    StopToken token() {
        if (!stopping()) {
            return stop_;
        }
        if (!deadline_) {
            deadline_.emplace(reportBudgetAfterStop);
        }
        return deadline_->token();
    }

private:
    StopToken stop_;
    std::optional<ReportDeadline> deadline_;
};

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
                          CommandReportStop& stop) {
    if (!stop.stopping()) {
        try {
            apiClient_->updateCommand(id, status, result, stop.token());
            return;
        } catch (const std::exception&) {
            if (!stop.stopping()) {
                throw;
            }
        }
    }
    // Stopping: the outcome still reaches the server if it can within the
    // budget; otherwise the command stays pending and runs after a restart.
    apiClient_->updateCommand(id, status, result, stop.token());
}

void AgentService::processPendingCommands(const std::optional<std::string>& commandType,
                                          const std::string& reason, StopToken stop) {
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
        if (stop.stop_requested()) {
            ViewerLogger::info("Command polling interrupted: the agent is stopping.");
        } else {
            ViewerLogger::error(error, "Command polling failed");
        }
        return;
    }
    if (!commands.empty()) {
        ViewerLogger::info("Processing " + std::to_string(commands.size()) +
                           " pending commands. reason=" + reason + " type=" + commandType.value_or("all"));
        // A list that names one id twice still runs that command once.
        std::set<std::int64_t> handled;
        for (const auto& command : commands) {
            if (stop.stop_requested()) {
                return;
            }
            if (handled.insert(command.id).second) {
                handle(command, stop);
            }
        }
    }
    lock.unlock();
    sendPendingChatMessages("commands_" + reason, stop);
}

void AgentService::handle(const AgentCommand& command, StopToken stop) {
    CommandReportStop reportStop(stop);
    try {
        const auto& type = command.commandType;
        if (type == "force_audit") {
            sendInventory("force_audit", stop);
            report(command.id, "completed", Json{{"audit_sent", true}}, reportStop);
        } else if (type == "ip_scan") {
            report(command.id, "completed",
                   IpScanner::scan(command.payload, *processRunner_, networkInterfaces_, stop), reportStop);
        } else if (type == "user_notify") {
            report(command.id, "completed", handleUserNotification(command.payload), reportStop);
        } else if (type == "shell") {
            report(command.id, "completed", executeShell(*processRunner_, command.payload, stop), reportStop);
        } else if (type == "file_list") {
            report(command.id, "completed", FileTransfer::listFiles(command.payload), reportStop);
        } else if (type == "file_download") {
            report(command.id, "completed", FileTransfer::downloadFile(command.payload), reportStop);
        } else if (type == "file_upload") {
            report(command.id, "completed", FileTransfer::uploadFile(command.payload), reportStop);
        } else if (type == "client_update") {
            report(command.id, "picked_up",
                   Json{{"platform", "macos"}, {"current_version", std::string(MacViewerBuildInfo::version)}},
                   reportStop);
            report(command.id, "completed", checkForClientUpdate("command", std::nullopt, stop), reportStop);
        } else if (type == "client_uninstall") {
            report(command.id, "picked_up", Json{{"platform", "macos"}, {"uninstall_started", false}},
                   reportStop);
            report(command.id, "completed", startSelfUninstall(), reportStop);
        } else {
            report(command.id, "failed", Json{{"error", "Unsupported macOS command " + type}}, reportStop);
        }
    } catch (const std::exception& error) {
        if (reportStop.stopping()) {
            ViewerLogger::info("Command handling interrupted id=" + std::to_string(command.id) +
                               ": the agent is stopping.");
        } else {
            ViewerLogger::error(error, "Command handling failed id=" + std::to_string(command.id));
        }
        try {
            report(command.id, "failed", Json{{"platform", "macos"}, {"error", commandErrorText(error)}},
                   reportStop);
        } catch (const std::exception&) {
            // The server keeps the command pending; the next fetch returns it.
        }
    }
}

} // namespace kova
