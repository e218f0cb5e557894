#pragma once

#include "agent/AuditSource.hpp"
#include "core/Stop.hpp"

#include <mutex>

namespace kova::test {

// An audit whose payloads the test sets; counts the full collections.
class FakeAuditSource : public AuditSource {
public:
    Json collect(StopToken) override {
        std::lock_guard lock(mutex);
        ++collections;
        return payload;
    }
    Json heartbeatPayload(const ViewerState& state, StopToken) override {
        std::lock_guard lock(mutex);
        Json out = heartbeat;
        out["device_uid"] = state.deviceUid ? Json(*state.deviceUid) : Json(nullptr);
        return out;
    }
    AuditIdentityFacts identityFacts(StopToken) override {
        std::lock_guard lock(mutex);
        return facts;
    }
    std::optional<std::string> localizedHostName() override {
        std::lock_guard lock(mutex);
        return hostName;
    }

    std::mutex mutex;
    Json payload =
        Json{{"device_uid", "uid-from-audit"}, {"hostname", "audit-host"}, {"logged_in_user", "anna"}};
    Json heartbeat = Json{{"kind", "heartbeat"}};
    AuditIdentityFacts facts{"uid-from-audit", "audit-host", "anna"};
    std::optional<std::string> hostName = "Local Name";
    int collections = 0;
};

} // namespace kova::test
