#include "config/AgentConnectionState.hpp"

#include <stdexcept>

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

AgentConnectionIssue record(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return record(e);
    } catch (...) {
        return record(std::runtime_error("unknown error"));
    }
}

} // namespace kova::AgentConnectionState
