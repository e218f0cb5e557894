#include "agent/AgentService.hpp"

#include "config/AgentConnectionState.hpp"
#include "core/Strings.hpp"
#include "core/ViewerLogger.hpp"

#include <algorithm>

namespace kova {

using namespace std::chrono_literals;

AgentService::AgentService(ViewerSettings settings, AgentServiceDependencies dependencies)
    : settings_(std::move(settings)), state_(ViewerState::load()) {
    processRunner_ =
        dependencies.processRunner ? std::move(dependencies.processRunner) : systemProcessRunner();
    sleeper_ = dependencies.sleeper ? std::move(dependencies.sleeper) : std::make_shared<RealSleeper>();
    systemFacts_ = dependencies.systemFacts ? std::move(dependencies.systemFacts) : platform::systemFacts();
    if (dependencies.networkInterfaces) {
        networkInterfaces_ = std::move(dependencies.networkInterfaces);
    }
    audit_ = dependencies.audit ? std::move(dependencies.audit) : makeDefaultAuditSource(settings_);
    apiClient_ = dependencies.apiClient ? std::move(dependencies.apiClient)
                                        : std::make_shared<KovaDeskApiClient>(settings_);
    updater_ = std::make_unique<SelfUpdater>(settings_.serverBaseUrl, apiClient_, processRunner_, sleeper_);
    auto remoteAgent =
        std::make_unique<RemoteSessionAgent>(settings_, apiClient_, dependencies.webSocketConnector);
    controlChannel_ = std::make_unique<ControlChannel>(
        settings_, apiClient_, std::move(remoteAgent),
        [](const std::exception& error) { AgentConnectionState::record(error); },
        dependencies.webSocketConnector);
}

AgentService::~AgentService() {
    for (auto& loop : loops_) {
        loop.request_stop();
    }
    loops_.clear(); // joins
}

ViewerState AgentService::stateSnapshot() const {
    std::lock_guard lock(stateMutex_);
    return state_;
}

void AgentService::updateState(const std::function<void(ViewerState&)>& change) {
    std::lock_guard lock(stateMutex_);
    change(state_);
    std::lock_guard fileLock(stateFileMutex());
    state_.deviceToken = ViewerState::load().deviceToken;
    state_.save();
}

std::chrono::seconds AgentService::auditLoopWait(const ViewerSettings& settings) {
    // The loop keeps its own floor even though validation already clamps;
    // minutes too many to count in seconds just mean the longest wait.
    const auto minutes = std::max<std::int64_t>(settings.auditIntervalMinutes, 5);
    if (minutes > longestWait.count() / 60) {
        return longestWait;
    }
    return std::chrono::seconds(minutes * 60);
}

std::vector<AgentLoop> AgentService::timedLoops() {
    const auto seconds = [](std::int64_t s) { return std::chrono::seconds(s); };
    return {
        {"audit", auditLoopWait(settings_), [this](StopToken stop) { sendInventory("timer", stop); }},
        {"heartbeat", seconds(settings_.heartbeatIntervalSeconds),
         [this](StopToken stop) { sendHeartbeat("timer", stop); }},
        {"command poll", seconds(settings_.commandPollIntervalSeconds),
         [this](StopToken stop) { processPendingCommands(std::nullopt, "timer", stop); }},
        {"notification poll", seconds(settings_.chatPollIntervalSeconds),
         [this](StopToken stop) { processPendingCommands(std::string("user_notify"), "chat_timer", stop); }},
        {"chat delivery", seconds(settings_.chatPollIntervalSeconds),
         [this](StopToken stop) { sendPendingChatMessages("timer", stop); }},
    };
}

void AgentService::runTimedLoop(StopToken stop, const AgentLoop& loop) {
    while (!stop.stop_requested()) {
        if (!sleepFor(stop, loop.wait)) {
            return;
        }
        try {
            loop.cycle(stop);
        } catch (const std::exception& e) {
            // Operations report their own failures; this only keeps the loop alive.
            ViewerLogger::error(e, "Agent " + loop.name + " loop cycle failed");
        }
    }
}

void AgentService::controlChannelLoop(StopToken stop) {
    controlChannel_->runForever(
        stop, [this] { return identity(); },
        [this](StopToken wakeStop) { processPendingCommands(std::nullopt, "control", wakeStop); });
}

void AgentService::startLoops(StopToken stop) {
    for (auto& loop : timedLoops()) {
        loops_.emplace_back([loop = std::move(loop)](StopToken own) { runTimedLoop(own, loop); });
    }
    loops_.emplace_back([this](StopToken own) { autoUpdateLoop(own); });
    loops_.emplace_back([this](StopToken own) { manualUpdateRequestLoop(own); });
    loops_.emplace_back([this](StopToken own) { controlChannelLoop(own); });
    // The loops follow the service's stop token.
    StopCallback forward(stop, [this] {
        for (auto& loop : loops_) {
            loop.request_stop();
        }
    });
    for (auto& loop : loops_) {
        loop.join();
    }
}

void AgentService::runForever(StopToken stop) {
    ViewerLogger::info("Sekwo Tarnvik macOS daemon started.");
    recoverInterruptedUpdate();
    const auto state = stateSnapshot();
    // A blank identifier (stored by an older version) counts as missing.
    const auto known = [](const std::optional<std::string>& id) { return id && !trimmed(*id).empty(); };
    if (!(known(state.deviceUid) && known(state.supportId))) {
        sendInventory("initial_registration", stop);
    }
    sendHeartbeat("startup", stop);
    if (stop.stop_requested()) {
        return;
    }
    startLoops(stop);
}

void AgentService::runOnce(StopToken stop) {
    sendInventory("manual_once", stop);
    sendHeartbeat("manual_once", stop);
}

} // namespace kova
