#pragma once

#include "config/ViewerSettings.hpp"
#include "core/Stop.hpp"
#include "menubar/app/MenuBarRules.hpp"
#include "menubar/chat/ChatInbox.hpp"
#include "menubar/customer/CustomerNotificationRules.hpp"
#include "menubar/customer/CustomerReplyPoll.hpp"
#include "menubar/model/HelpdeskClient.hpp"
#include "menubar/model/ViewerModel.hpp"
#include "menubar/platform/Desktop.hpp"
#include "menubar/rustdesk/RustDeskBackgroundService.hpp"
#include "menubar/rustdesk/RustDeskLinkOpener.hpp"
#include "menubar/settings/SettingsSave.hpp"
#include "menubar/status/StatusWindowController.hpp"
#include "menubar/ticket/TicketSubmission.hpp"
#include "menubar/update/UpdateWindowController.hpp"
#include "platform/SystemFacts.hpp"

#include <QFuture>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <sys/types.h>
#include <vector>

class QAction;
class QMenu;
class QTimer;

namespace kova::menubar {

// The menu bar's application delegate: owns the model, status item, menus,
// timers, windows and the pieces it hands the user's actions to. Main thread
// only; background work comes back through queued calls.
class KovaViewerMenuBarApp : public QObject {
    Q_OBJECT
public:
    struct Dependencies {
        Desktop* desktop = nullptr;
        std::shared_ptr<platform::SystemFacts> facts;
        // The product's client when empty.
        std::shared_ptr<HelpdeskClient> helpdesk;
        // Shows a modal warning; tests answer it without a person.
        std::function<void(const QString& title, const QString& message)> presentAlert;
        // Runs RustDesk and pgrep; the system's runner unless a test records them.
        std::shared_ptr<ProcessRunner> processRunner;
        // Whose incoming chat files are shown: the daemon's; tests write as themselves.
        uid_t chatFileOwner = 0;
    };

    KovaViewerMenuBarApp(bool launchedForMenuBar, Dependencies dependencies, QObject* parent = nullptr);
    ~KovaViewerMenuBarApp() override;

    void applicationDidFinishLaunching();
    void applicationWillTerminate();

    // Actions of the menus, the status window and the notifications.
    void showStatusWindow();
    void showTicketForm();
    void showCustomerTickets();
    void sendAuditNow();
    void checkUpdatesNow();
    void checkChatNow();
    void openLog();
    void openSettings();
    void toggleStatusFullScreen();
    void quit();
    void statusItemClicked(QSystemTrayIcon::ActivationReason reason);
    // The application was opened again while it runs: shows the status window.
    bool applicationShouldHandleReopen(bool hasVisibleWindows);
    void showRunningApplication();
    void showUpdateWindow();
    void presentUpdateProgressIfNeeded();
    void presentConnectionStatusIfNeeded();
    void perform(MenuAction action);

    // Callable from any thread: re-dispatched to the main thread.
    void showAlert(const QString& title, const QString& message);
    void showNotification(const QString& title, const QString& text, const QString& ticketReference = {});

    // Fills `menu` with the status items built from the state file.
    void buildMenu(QMenu* menu);

    StatusWindowController* statusWindow() const { return statusWindow_; }
    UpdateWindowController* updateWindow() const { return updateWindow_; }
    QTimer* timer(MenuBarTimer which) const { return timers_[static_cast<std::size_t>(which)]; }
    const std::optional<ViewerSettings>& settings() const { return model_->settings(); }
    ViewerModel& model() const { return *model_; }

    ChatWindowController* chatWindow(const std::string& publicId) const {
        return chatInbox_->window(publicId);
    }
    std::size_t chatWindowCount() const { return chatInbox_->windowCount(); }

    // Once written with an administrator's approval, refreshes and audits.
    void saveSettings(const ViewerSettings& settings);
    void openUrls(const QList<QUrl>& urls);
    // A customer-notification poll is in flight; further triggers wait for it.
    bool isPollingCustomerNotifications() const { return customerPoll_ != nullptr; }

private:
    void installApplicationMenu();
    void installStatusItem();
    void waitForTray();
    void startTimers();
    void runTimerAction(MenuBarTimer which);
    void processCustomerNotifications();
    void ensureRustDeskRunning();
    void openCustomerTicket(const QString& reference);
    void editAction(MenuAction action);
    void settingsWritten(const ViewerSettings& settings);
    void deliverNotification(const UserNotificationContent& content);

    std::array<QTimer*, 5> timers_{};
    UpdateAnnouncementMemory announcedUpdatePhase_;
    ConnectionAnnouncementMemory announcedConnectionIssue_;
    QPointer<StatusWindowController> statusWindow_;
    QPointer<UpdateWindowController> updateWindow_;
    QSystemTrayIcon* statusItem_ = nullptr;
    QMenu* statusMenu_ = nullptr;
    QTimer* trayWait_ = nullptr;
    int trayWaitTicks_ = 0;
    bool launchedForMenuBar_ = false;
    Dependencies dependencies_;
    std::vector<QAction*> applicationActions_;
    // Cuts short background work at quit, so the process does not linger.
    StopSource backgroundStop_;
    ViewerModel* model_ = nullptr;
    TicketSubmission* tickets_ = nullptr;
    std::unique_ptr<ChatInbox> chatInbox_;
    // One poll at a time; a session change polls at once.
    QPointer<CustomerReplyPoll> customerPoll_;
    SettingsSave* settingsSave_ = nullptr;
    RustDeskLinkOpener* rustDeskLinks_ = nullptr;
    std::shared_ptr<RustDeskBackgroundService> rustDeskBackgroundService_;
    QFuture<void> rustDeskCheck_;
};

} // namespace kova::menubar
