#pragma once

#include "core/ConnectionIssue.hpp"
#include "core/Json.hpp"
#include "core/Time.hpp"

#include <mutex>
#include <optional>
#include <string>

namespace kova {

// Serialises every read-modify-write of the state file within a process (the
// device token store, the connection recorder and the daemon's saves), so no
// writer loses another's change.
std::mutex& stateFileMutex();

// What the daemon remembers between runs: its registration, last contacts and
// last connection problem ("sekwo.state.json"). Only the daemon writes it.
struct ViewerState {
    std::optional<std::string> deviceUid;
    std::optional<std::string> supportId;
    std::optional<std::string> hostname;
    std::optional<Timestamp> lastInventoryAt;
    std::optional<Timestamp> lastHeartbeatAt;
    std::optional<std::string> deviceToken;
    std::optional<AgentConnectionIssue> connectionIssue;
    std::optional<std::string> connectionMessage;
    std::optional<Timestamp> lastConnectionErrorAt;

    // Never fails: a missing, unreadable or undecodable file gives an empty state.
    static ViewerState load();
    // Never throws: failures are logged.
    void save() const;

    // Throws DecodingError.
    static ViewerState decode(std::string_view text, std::string_view what);
    Json toJson() const;

    bool operator==(const ViewerState&) const = default;
};

} // namespace kova
