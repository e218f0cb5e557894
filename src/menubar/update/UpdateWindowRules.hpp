#pragma once

#include "core/Time.hpp"
#include "update/ViewerUpdateCoordinator.hpp"

#include <QString>

#include <optional>

// What the update window shows for a status file, or for none.
namespace kova::menubar {

struct UpdateWindowRows {
    QString status;
    QString installedVersion;
    QString availableVersion;
    QString updatedAt;
    // The spinning indicator, and polling, for the progress phases.
    bool inProgress = false;

    bool operator==(const UpdateWindowRows&) const = default;
};

UpdateWindowRows updateWindowRows(const std::optional<ViewerUpdateStatus>& status);

// The status written when a check was just requested, before the daemon
// picks it up.
ViewerUpdateStatus queuedUpdateStatus(Timestamp now);

} // namespace kova::menubar
