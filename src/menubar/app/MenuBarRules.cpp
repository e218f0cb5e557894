#include "menubar/app/MenuBarRules.hpp"

#include "menubar/ui/QtText.hpp"

#include <algorithm>

namespace kova::menubar {
namespace {

MenuItem item(const char* title, const QKeySequence& shortcut, MenuAction action, const char* objectName) {
    return MenuItem{false, QString::fromUtf8(title), shortcut, action, true, QString::fromLatin1(objectName)};
}

MenuItem separator() {
    MenuItem result;
    result.separator = true;
    return result;
}

// Qt's Ctrl is the Command key on macOS and Meta its Control key.
QKeySequence command(Qt::Key key) {
    return QKeySequence(Qt::CTRL | key);
}

} // namespace

std::vector<MenuItem> statusMenuItems(const ViewerState& state) {
    MenuItem header;
    header.enabled = false;
    header.objectName = QStringLiteral("connectionMessageItem");
    // The daemon's message is shown as it is: an "&" is no mnemonic.
    header.title =
        state.connectionMessage
            ? shownText(qtText(*state.connectionMessage), 200).replace(QLatin1Char('&'), QStringLiteral("&&"))
            : QStringLiteral("Sekwo Tarnvik: aktywna");
    return {
        header,
        separator(),
        item("Pokaż status", command(Qt::Key_S), MenuAction::showStatusWindow, "showStatusItem"),
        item("Nowe zgłoszenie", command(Qt::Key_N), MenuAction::showTicketForm, "showTicketFormItem"),
        item("Otwórz panel klienta", command(Qt::Key_M), MenuAction::showCustomerTickets,
             "showCustomerTicketsItem"),
        item("Wyślij audyt teraz", command(Qt::Key_A), MenuAction::sendAuditNow, "sendAuditItem"),
        item("Sprawdź aktualizacje", command(Qt::Key_U), MenuAction::checkUpdatesNow, "checkUpdatesItem"),
        item("Sprawdź czat", command(Qt::Key_C), MenuAction::checkChatNow, "checkChatItem"),
        item("Otwórz log", command(Qt::Key_L), MenuAction::openLog, "openLogItem"),
        item("Otwórz konfigurację", command(Qt::Key_Comma), MenuAction::openSettings, "openSettingsItem"),
        item("Pełny ekran", QKeySequence(Qt::META | Qt::CTRL | Qt::Key_F), MenuAction::toggleStatusFullScreen,
             "toggleFullScreenItem"),
        separator(),
        item("Zakończ ikonę", command(Qt::Key_Q), MenuAction::quit, "quitItem"),
    };
}

std::vector<Menu> applicationMenus() {
    return {
        Menu{QStringLiteral("Sekwo Tarnvik"),
             {
                 item("Pokaż status", command(Qt::Key_S), MenuAction::showStatusWindow, "appShowStatusItem"),
                 item("Nowe zgłoszenie", command(Qt::Key_N), MenuAction::showTicketForm,
                      "appShowTicketFormItem"),
                 item("Moje zgłoszenia", command(Qt::Key_M), MenuAction::showCustomerTickets,
                      "appShowCustomerTicketsItem"),
                 item("Pełny ekran", QKeySequence(Qt::META | Qt::CTRL | Qt::Key_F),
                      MenuAction::toggleStatusFullScreen, "appToggleFullScreenItem"),
                 item("Sprawdź aktualizacje", command(Qt::Key_U), MenuAction::checkUpdatesNow,
                      "appCheckUpdatesItem"),
                 separator(),
                 item("Ukryj Sekwo Tarnvik", command(Qt::Key_H), MenuAction::hideApplication, "appHideItem"),
                 separator(),
                 item("Zakończ ikonę", command(Qt::Key_Q), MenuAction::quit, "appQuitItem"),
             }},
        Menu{QStringLiteral("Edycja"),
             {
                 item("Cofnij", command(Qt::Key_Z), MenuAction::undo, "undoItem"),
                 item("Przywroc", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), MenuAction::redo,
                      "redoItem"),
                 separator(),
                 item("Wytnij", command(Qt::Key_X), MenuAction::cut, "cutItem"),
                 item("Kopiuj", command(Qt::Key_C), MenuAction::copy, "copyItem"),
                 item("Wklej", command(Qt::Key_V), MenuAction::paste, "pasteItem"),
                 item("Zaznacz wszystko", command(Qt::Key_A), MenuAction::selectAll, "selectAllItem"),
             }},
    };
}

bool UpdateAnnouncementMemory::take(const std::string& phase,
                                    const std::optional<std::string>& availableVersion) {
    if (phase != "downloading" && phase != "installing") {
        return false;
    }
    auto update = std::find_if(updates_.begin(), updates_.end(),
                               [&](const Update& known) { return known.version == availableVersion; });
    if (update == updates_.end()) {
        if (updates_.size() == rememberedUpdates) {
            updates_.pop_front();
        }
        updates_.push_back({availableVersion, {}});
        update = std::prev(updates_.end());
    }
    if (std::find(update->phases.begin(), update->phases.end(), phase) != update->phases.end()) {
        return false;
    }
    update->phases.push_back(phase);
    return true;
}

bool ConnectionAnnouncementMemory::take(const std::optional<AgentConnectionIssue>& issue) {
    if (!issue) {
        announced_.reset();
        return false;
    }
    if (announced_ == issue) {
        return false;
    }
    announced_ = issue;
    return true;
}

QString connectionAnnouncementText(const ViewerState& state) {
    if (state.connectionMessage) {
        return QString::fromStdString(*state.connectionMessage);
    }
    if (state.connectionIssue) {
        return qtText(connectionIssueMessage(*state.connectionIssue));
    }
    return {};
}

} // namespace kova::menubar
