#include "menubar/UpdateWindowRules.hpp"

#include "config/MacViewerBuildInfo.hpp"
#include "core/Paths.hpp"
#include "menubar/QtText.hpp"
#include "menubar/StatusWindowRules.hpp"

namespace kova::menubar {

UpdateWindowRows updateWindowRows(const std::optional<ViewerUpdateStatus>& status) {
    if (!status) {
        return {QStringLiteral("Gotowy do sprawdzenia aktualizacji."), qtText(MacViewerBuildInfo::version),
                QStringLiteral("-"), QStringLiteral("-"), false};
    }
    const auto& phase = status->phase;
    return {qtText(status->message), qtText(status->currentVersion),
            status->availableVersion ? qtText(*status->availableVersion) : QStringLiteral("-"),
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
