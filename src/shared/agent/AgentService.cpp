#include "agent/AgentService.hpp"

#include "core/Sleeper.hpp"
#include "core/ViewerLogger.hpp"

#include <algorithm>

namespace kova {

using namespace std::chrono_literals;

AgentService::AgentService(ViewerSettings settings)
    : settings_(std::move(settings)), state_(ViewerState::load()) {}

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

std::chrono::seconds AgentService::auditLoopWait(const ViewerSettings& settings) {
    // The loop keeps its own floor even though validation already clamps.
    return std::chrono::seconds(std::max<std::int64_t>(settings.auditIntervalMinutes, 5) * 60);
}

std::vector<AgentLoop> AgentService::timedLoops() {
    const auto seconds = [](std::int64_t s) { return std::chrono::seconds(s); };
    // Each cycle's work is filled in by the operation that owns it; a loop
    // without work yet still keeps its timing.
    return {
        {"audit", auditLoopWait(settings_), {}},
        {"heartbeat", seconds(settings_.heartbeatIntervalSeconds), {}},
        {"command poll", seconds(settings_.commandPollIntervalSeconds), {}},
        {"notification poll", seconds(settings_.chatPollIntervalSeconds), {}},
        {"chat delivery", seconds(settings_.chatPollIntervalSeconds), {}},
    };
}

void AgentService::runTimedLoop(std::stop_token stop, const AgentLoop& loop) {
    while (!stop.stop_requested()) {
        if (!sleepFor(stop, loop.wait)) {
            return;
        }
        if (loop.cycle) {
            try {
                loop.cycle(stop);
            } catch (const std::exception& e) {
                // Operations report their own failures; this only keeps the loop alive.
                ViewerLogger::error(e, "Agent " + loop.name + " loop cycle failed");
            }
        }
    }
}

void AgentService::autoUpdateLoop(std::stop_token stop) {
    if (!sleepFor(stop, 120s)) {
        return;
    }
    while (!stop.stop_requested()) {
        if (!sleepFor(stop, 3600s)) {
            return;
        }
    }
}

void AgentService::manualUpdateRequestLoop(std::stop_token stop) {
    while (!stop.stop_requested()) {
        if (!sleepFor(stop, 2s)) {
            return;
        }
    }
}

void AgentService::controlChannelLoop(std::stop_token stop) {
    while (!stop.stop_requested()) {
        if (!sleepFor(stop, 3600s)) {
            return;
        }
    }
}

void AgentService::startLoops(std::stop_token stop) {
    for (auto& loop : timedLoops()) {
        loops_.emplace_back([loop = std::move(loop)](std::stop_token own) { runTimedLoop(own, loop); });
    }
    loops_.emplace_back([this](std::stop_token own) { autoUpdateLoop(own); });
    loops_.emplace_back([this](std::stop_token own) { manualUpdateRequestLoop(own); });
    loops_.emplace_back([this](std::stop_token own) { controlChannelLoop(own); });
    // The loops follow the service's stop token.
    std::stop_callback forward(stop, [this] {
        for (auto& loop : loops_) {
            loop.request_stop();
        }
    });
    for (auto& loop : loops_) {
        loop.join();
    }
}

void AgentService::runForever(std::stop_token stop) {
    ViewerLogger::info("Sekwo Tarnvik macOS daemon started.");
    startLoops(stop);
}

void AgentService::runOnce() {}

} // namespace kova
