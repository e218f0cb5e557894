#include "config/AgentConnectionState.hpp"

namespace kova::AgentConnectionState {

AgentConnectionIssue apply(ViewerState& state, const std::exception& error) {
    const auto issue = classifyConnectionIssue(error).value_or(AgentConnectionIssue::temporarilyUnavailable);
    state.connectionIssue = issue;
    state.connectionMessage = std::string(connectionIssueMessage(issue));
    state.lastConnectionErrorAt = nowSeconds();
    return issue;
}

AgentConnectionIssue record(const std::exception& error) {
    std::lock_guard lock(stateFileMutex());
    auto state = ViewerState::load();
    const auto issue = apply(state, error);
    state.save();
    return issue;
}

} // namespace kova::AgentConnectionState
