#pragma once

#include "config/ViewerState.hpp"
#include "core/ConnectionIssue.hpp"

#include <exception>

namespace kova::AgentConnectionState {

// Classifies the error (temporarilyUnavailable when it has no class), stores
// the issue, its message and the time in the state file, and returns it.
AgentConnectionIssue record(const std::exception& error);
// The same change applied to a state in memory (the daemon saves it itself).
AgentConnectionIssue apply(ViewerState& state, const std::exception& error);

} // namespace kova::AgentConnectionState
