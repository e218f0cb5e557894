#pragma once

#include "config/ViewerSettings.hpp"
#include "config/ViewerState.hpp"

#include <chrono>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace kova {

// One loop of the daemon: how long it waits before each cycle and what a
// cycle does. The wait runs from the end of one cycle to the start of the next.
struct AgentLoop {
    std::string name;
    std::chrono::seconds wait;
    std::function<void(std::stop_token)> cycle;
};

// The daemon's service object: owns the settings, the persisted state and the
// eight long-lived loops. The loops run on their own threads and share the
// state; every change of the state together with its save happens under
// stateMutex_.
class AgentService {
public:
    explicit AgentService(ViewerSettings settings);
    ~AgentService();
    AgentService(const AgentService&) = delete;
    AgentService& operator=(const AgentService&) = delete;

    // Start-up reporting, then the eight loops; returns when stop is requested
    // and every loop has ended.
    void runForever(std::stop_token stop);
    // "--once": one audit and one heartbeat, whatever their outcome.
    void runOnce();

    // The timed loops in start order, with the waits computed from the settings.
    std::vector<AgentLoop> timedLoops();
    static std::chrono::seconds auditLoopWait(const ViewerSettings& settings);

    const ViewerSettings& settings() const { return settings_; }
    ViewerState stateSnapshot() const;

private:
    void startLoops(std::stop_token stop);
    static void runTimedLoop(std::stop_token stop, const AgentLoop& loop);
    void autoUpdateLoop(std::stop_token stop);
    void manualUpdateRequestLoop(std::stop_token stop);
    void controlChannelLoop(std::stop_token stop);

    const ViewerSettings settings_;
    mutable std::mutex stateMutex_;
    ViewerState state_;
    std::vector<std::jthread> loops_;
};

} // namespace kova
