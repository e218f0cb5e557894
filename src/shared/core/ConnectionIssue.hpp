#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>

// How failures are shown to people: the Polish sentence for a failed action,
// and the class of connection problem the daemon records for the menu bar.
namespace kova {

enum class AgentConnectionIssue {
    missingViewerToken,
    invalidViewerToken,
    invalidDeviceToken,
    deviceAssignedElsewhere,
    deviceDeactivated,
    temporarilyUnavailable,
};

// The case name, which is also the raw value stored in the state file.
std::string_view connectionIssueName(AgentConnectionIssue issue);
std::optional<AgentConnectionIssue> connectionIssueFromName(std::string_view name);
std::string_view connectionIssueMessage(AgentConnectionIssue issue);
std::optional<AgentConnectionIssue> classifyConnectionIssue(const std::exception& error);

// "Nie udało się " + action + the continuation for the error.
std::string viewerErrorMessage(const std::exception& error, std::string_view action);
// The trimmed "detail" string of a JSON object body, if any.
std::optional<std::string> serverErrorDetail(std::string_view body);

struct AgentOperationOutcome {
    bool succeeded = false;
    std::optional<std::string> message;

    static AgentOperationOutcome success() { return {true, std::nullopt}; }
    static AgentOperationOutcome failure(std::string message) { return {false, std::move(message)}; }
};

namespace AgentDeviceTokenRecovery {
bool shouldRetryWithOrganizationToken(bool usedDeviceToken, const std::exception& error);
}

} // namespace kova
