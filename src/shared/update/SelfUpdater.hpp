#pragma once

#include "api/KovaDeskApiClient.hpp"
#include "process/ProcessRunner.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace kova {

// The daemon's self-update: check, install job, rollback of a killed update and
// the two loops. Owned by the agent service; checks never overlap (mutex_), so
// any thread may call.
class SelfUpdater {
public:
    SelfUpdater(std::string serverBaseUrl, std::shared_ptr<KovaDeskApiClient> apiClient,
                std::shared_ptr<ProcessRunner> processRunner, std::shared_ptr<Sleeper> sleeper);
    // Both throw; the check writes the update status on the way.
    Json checkForClientUpdate(const std::string& reason, const std::optional<std::string>& requesterVersion,
                              StopToken stop = {});
    Json scheduleSelfUpdate(const ViewerUpdateManifest& manifest, const std::string& reason,
                            const std::optional<std::string>& requesterVersion);
    // At start: an update whose job was killed half way left a complete
    // backup that nothing consumed; a job of its own rolls back to it. Never throws.
    void recoverInterruptedUpdate();
    // They return when stop is requested.
    void autoUpdateLoop(StopToken stop);
    void manualUpdateRequestLoop(StopToken stop);

private:
    const std::string serverBaseUrl_;
    std::shared_ptr<KovaDeskApiClient> apiClient_;
    std::shared_ptr<ProcessRunner> processRunner_;
    std::shared_ptr<Sleeper> sleeper_;
    std::mutex mutex_;
};

} // namespace kova
