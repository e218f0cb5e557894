#include "agent/AgentService.hpp"
#include "config/AgentConnectionState.hpp"
#include "core/Stop.hpp"
#include "core/ViewerLogger.hpp"

namespace kova {
namespace {

std::string successLine(const std::string& what, const std::string& reason, const ViewerState& state) {
    return what + " sent successfully. reason=" + reason + " device_uid=" + state.deviceUid.value_or("-") +
           " support_id=" + state.supportId.value_or("-");
}

// A request cut short by the daemon's own shutdown is not a connection
// failure: nothing is recorded, so the menu bar shows no issue after a clean stop.
AgentOperationOutcome stoppedOutcome(const std::string& what) {
    ViewerLogger::info(what + " interrupted: the agent is stopping.");
    return AgentOperationOutcome{false, std::nullopt};
}

void clearConnectionIssue(ViewerState& state) {
    state.connectionIssue.reset();
    state.connectionMessage.reset();
    state.lastConnectionErrorAt.reset();
}

} // namespace

std::optional<AgentIdentity> AgentService::identity() {
    // The audit reports these three as strings; an empty one counts as missing.
    const auto facts = audit_->identityFacts({});
    const auto state = stateSnapshot();
    AgentIdentity identity;
    if (state.deviceUid) {
        identity.deviceUid = *state.deviceUid;
    } else if (!facts.deviceUid.empty()) {
        identity.deviceUid = facts.deviceUid;
    } else {
        return std::nullopt;
    }
    identity.supportId = state.supportId;
    if (state.hostname) {
        identity.hostname = *state.hostname;
    } else if (!facts.hostname.empty()) {
        identity.hostname = facts.hostname;
    } else {
        identity.hostname = audit_->localizedHostName().value_or("Mac");
    }
    if (!facts.loggedInUser.empty()) {
        identity.loggedInUser = facts.loggedInUser;
    }
    return identity;
}

AgentOperationOutcome AgentService::recordConnectionError(const std::exception& error) {
    AgentConnectionIssue issue{};
    updateState([&](ViewerState& state) { issue = AgentConnectionState::apply(state, error); });
    return AgentOperationOutcome::failure(std::string(connectionIssueMessage(issue)));
}

AgentOperationOutcome AgentService::sendInventory(const std::string& reason, StopToken stop) {
    Json payload;
    DeviceRegistrationResponse response;
    try {
        payload = audit_->collect(stop);
        response = apiClient_->sendInventory(payload, stop);
    } catch (const std::exception& error) {
        if (stop.stop_requested()) {
            return stoppedOutcome("Inventory send");
        }
        ViewerLogger::error(error, "Inventory send failed");
        return recordConnectionError(error);
    }
    if (response.deviceTokenRefused) {
        ViewerLogger::warn(
            "The server sent an invalid device token (control characters); it was not stored.");
    }
    const auto payloadUid = stringMember(payload, "device_uid");
    const auto payloadHost = stringMember(payload, "hostname");
    ViewerState saved;
    updateState([&](ViewerState& state) {
        if (response.deviceUid) {
            state.deviceUid = response.deviceUid;
        } else if (payloadUid) {
            state.deviceUid = payloadUid;
        }
        for (const auto* candidate :
             {&response.supportId, &response.viewerId, &response.deviceCode, &response.publicId}) {
            if (*candidate) {
                state.supportId = *candidate;
                break;
            }
        }
        if (payloadHost) {
            state.hostname = payloadHost;
        }
        state.lastInventoryAt = nowSeconds();
        clearConnectionIssue(state);
        saved = state;
    });
    ViewerLogger::info(successLine("Inventory", reason, saved));
    return AgentOperationOutcome::success();
}

AgentOperationOutcome AgentService::sendHeartbeat(const std::string& reason, StopToken stop) {
    try {
        apiClient_->sendHeartbeat(audit_->heartbeatPayload(stateSnapshot(), stop), stop);
    } catch (const std::exception& error) {
        if (stop.stop_requested()) {
            return stoppedOutcome("Heartbeat");
        }
        ViewerLogger::error(error, "Heartbeat failed");
        return recordConnectionError(error);
    }
    ViewerState saved;
    updateState([&](ViewerState& state) {
        state.lastHeartbeatAt = nowSeconds();
        clearConnectionIssue(state);
        saved = state;
    });
    ViewerLogger::info(successLine("Heartbeat", reason, saved));
    return AgentOperationOutcome::success();
}

} // namespace kova
