#pragma once

#include "agent/AuditSource.hpp"
#include "api/AgentRecords.hpp"
#include "api/KovaDeskApiClient.hpp"
#include "config/ViewerSettings.hpp"
#include "config/ViewerState.hpp"
#include "control/ControlChannel.hpp"
#include "core/ConnectionIssue.hpp"
#include "core/Sleeper.hpp"
#include "core/Stop.hpp"
#include "platform/SystemFacts.hpp"
#include "process/ProcessRunner.hpp"
#include "scan/IpScanner.hpp"
#include "update/SelfUpdater.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kova {

class CommandReportStop;

// One loop of the daemon: how long it waits before each cycle and what a
// cycle does. The wait runs from the end of one cycle to the start of the next.
struct AgentLoop {
    std::string name;
    std::chrono::seconds wait;
    std::function<void(StopToken)> cycle;
};

// Collaborators of the service that touch the outside world; empty members
// get the product's defaults.
struct AgentServiceDependencies {
    std::shared_ptr<AuditSource> audit;
    std::shared_ptr<KovaDeskApiClient> apiClient;
    std::shared_ptr<ProcessRunner> processRunner;
    WebSocketConnector webSocketConnector;
    // The waits of the update loops.
    std::shared_ptr<Sleeper> sleeper = nullptr;
    // The interface list the network scan sweeps.
    IpScanner::InterfaceSource networkInterfaces = {};
    // Who is logged in at the console (whose chat replies are relayed).
    std::shared_ptr<platform::SystemFacts> systemFacts = nullptr;
};

// The daemon's service object: owns the settings, the persisted state and the
// eight long-lived loops, and carries out reporting, command dispatch and chat
// delivery. The loops run on their own threads and share the state: every
// change of it together with its save happens under stateMutex_. Command
// fetch-and-dispatch passes are serialised (commandMutex_), and so are chat
// delivery passes (chatMutex_); the self-update is the updater's.
class AgentService {
public:
    explicit AgentService(ViewerSettings settings, AgentServiceDependencies dependencies = {});
    ~AgentService();
    AgentService(const AgentService&) = delete;
    AgentService& operator=(const AgentService&) = delete;

    // Start-up reporting, then the eight loops; returns when stop is requested
    // and every loop has ended.
    void runForever(StopToken stop);
    // "--once": one audit and one heartbeat, whatever their outcome.
    void runOnce(StopToken stop = {});

    // Reporting. Never throw: failures are logged and recorded.
    std::optional<AgentIdentity> identity();
    AgentOperationOutcome sendInventory(const std::string& reason, StopToken stop = {});
    AgentOperationOutcome sendHeartbeat(const std::string& reason, StopToken stop = {});
    AgentOperationOutcome recordConnectionError(const std::exception& error);

    // Commands. Never throw.
    void processPendingCommands(const std::optional<std::string>& commandType, const std::string& reason,
                                StopToken stop = {});
    void handle(const AgentCommand& command, StopToken stop = {});
    // "user_notify": stores the message as an incoming chat file. Never throws.
    Json handleUserNotification(const Json& payload);
    // "client_uninstall": starts the detached uninstall script; throws
    // std::system_error when it cannot be started.
    Json startSelfUninstall();

    // Chat. Never throws.
    void sendPendingChatMessages(const std::string& reason, StopToken stop = {});

    // Self-update, carried out by the updater (see SelfUpdater).
    Json checkForClientUpdate(const std::string& reason, const std::optional<std::string>& requesterVersion,
                              StopToken stop = {}) {
        return updater_->checkForClientUpdate(reason, requesterVersion, stop);
    }
    void recoverInterruptedUpdate() { updater_->recoverInterruptedUpdate(); }
    void autoUpdateLoop(StopToken stop) { updater_->autoUpdateLoop(stop); }
    void manualUpdateRequestLoop(StopToken stop) { updater_->manualUpdateRequestLoop(stop); }

    // The timed loops in start order, with the waits computed from the settings.
    std::vector<AgentLoop> timedLoops();
    static std::chrono::seconds auditLoopWait(const ViewerSettings& settings);

    ViewerState stateSnapshot() const;

private:
    // Applies a change to the state and saves it as one step; the device token
    // is taken over from the file, which the token store owns.
    void updateState(const std::function<void(ViewerState&)>& change);
    void report(std::int64_t id, const std::string& status, const Json& result, CommandReportStop& stop);

    void startLoops(StopToken stop);
    static void runTimedLoop(StopToken stop, const AgentLoop& loop);
    void controlChannelLoop(StopToken stop);

    const ViewerSettings settings_;
    std::shared_ptr<AuditSource> audit_;
    std::shared_ptr<KovaDeskApiClient> apiClient_;
    std::shared_ptr<ProcessRunner> processRunner_;
    std::shared_ptr<Sleeper> sleeper_;
    IpScanner::InterfaceSource networkInterfaces_ = platform::ipv4InterfaceAddresses;
    std::shared_ptr<platform::SystemFacts> systemFacts_;
    std::unique_ptr<ControlChannel> controlChannel_;
    std::unique_ptr<SelfUpdater> updater_;

    mutable std::mutex stateMutex_;
    ViewerState state_;
    std::mutex commandMutex_;
    std::mutex chatMutex_;
    std::vector<JThread> loops_;
};

// The "error" text of a failed command: the description of the system's own
// errors; domain, code and description for handler and platform errors.
std::string commandErrorText(const std::exception& error);

} // namespace kova
