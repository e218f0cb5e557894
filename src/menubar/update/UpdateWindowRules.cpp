#include "menubar/update/UpdateWindowRules.hpp"

#include "config/MacViewerBuildInfo.hpp"
#include "core/Paths.hpp"
#include "menubar/status/StatusWindowRules.hpp"
#include "menubar/ui/QtText.hpp"

namespace kova::menubar {

UpdateWindowRows updateWindowRows(const std::optional<ViewerUpdateStatus>& status) {
    if (!status) {
        return {QStringLiteral("Gotowy do sprawdzenia aktualizacji."), qtText(MacViewerBuildInfo::version),
                QStringLiteral("-"), QStringLiteral("-"), false};
    }
    const auto& phase = status->phase;
    // Any local user can write the status file: its texts are cut to what the window shows.
    return {shownText(qtText(status->message), 1000), shownText(qtText(status->currentVersion), 100),
            status->availableVersion ? shownText(qtText(*status->availableVersion), 100)
                                     : QStringLiteral("-"),
            mediumDateTime(status->updatedAt),
            phase == "queued" || phase == "checking" || phase == "downloading" || phase == "installing"};
}

ViewerUpdateStatus queuedUpdateStatus(Timestamp now) {
    ViewerUpdateStatus status;
    status.phase = "queued";
    status.message = "Zlecono sprawdzenie aktualizacji. Usługa systemowa zaraz je odbierze.";
    status.currentVersion = std::string(MacViewerBuildInfo::version);
    status.updatedAt = now;
    status.logPath = (paths::logDirectory() / "sekwo-update.log").string();
    return status;
}

} // namespace kova::menubar
