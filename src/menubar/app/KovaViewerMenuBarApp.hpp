#pragma once

#include "api/CustomerRecords.hpp"
#include "config/ViewerSettings.hpp"
#include "core/ConnectionIssue.hpp"
#include "core/Stop.hpp"
#include "menubar/app/MenuBarRules.hpp"
#include "menubar/chat/ChatWindowController.hpp"
#include "menubar/customer/CustomerNotificationRules.hpp"
#include "menubar/model/HelpdeskClient.hpp"
#include "menubar/platform/Desktop.hpp"
#include "menubar/rustdesk/RustDeskBackgroundService.hpp"
#include "menubar/rustdesk/RustDeskProtocolLauncher.hpp"
#include "menubar/status/StatusWindowController.hpp"
#include "menubar/update/UpdateWindowController.hpp"
#include "platform/SystemFacts.hpp"

#include <QFuture>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QThreadPool>

#include <array>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sys/types.h>
#include <vector>

class QAction;
class QMenu;
class QTimer;

namespace kova::menubar {

// The application delegate of the menu bar program: owns the status item and
// its menu, the application menu, the five polling timers, the status and
// update windows, and carries out the user's actions. Main thread only;
// background work comes back through queued calls on this object.
class KovaViewerMenuBarApp : public QObject {
    Q_OBJECT
public:
    struct Dependencies {
        Desktop* desktop = nullptr;
        std::shared_ptr<platform::SystemFacts> facts;
        // Everything asked of the helpdesk (audits, tickets, chat replies, the
        // customer panel); the product's client when empty.
        std::shared_ptr<HelpdeskClient> helpdesk;
        // Shows a modal warning; tests answer it without a person.
        std::function<void(const QString& title, const QString& message)> presentAlert;
        // Runs RustDesk and pgrep; the system's runner unless a test records them.
        std::shared_ptr<ProcessRunner> processRunner;
        // The only user whose incoming chat files are shown: the daemon's. Any
        // local user can write the chat directory; tests write as themselves.
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

    // The ticket form's hand-over: sends the draft with the device's identity
    // off the main thread; `completion` runs on the main thread.
    void submitTicket(AgentTicketDraft draft, TicketCompletion completion);

    // Fills `menu` with the status items built from the state file.
    void buildMenu(QMenu* menu);

    StatusWindowController* statusWindow() const { return statusWindow_; }
    UpdateWindowController* updateWindow() const { return updateWindow_; }
    QTimer* timer(MenuBarTimer which) const { return timers_[static_cast<std::size_t>(which)]; }
    QSystemTrayIcon* statusItem() const { return statusItem_; }
    QMenu* statusMenu() const { return statusMenu_; }
    const std::optional<ViewerSettings>& settings() const { return settings_; }

    // Chat: the reply sent straight to the helpdesk with the device's
    // authorisation, off the main thread; false when it could not be.
    QFuture<bool> sendChatReply(const RemoteChatMessage& message);
    ChatWindowController* chatWindow(const std::string& publicId) const;
    std::size_t chatWindowCount() const { return chatWindows_.size(); }

    // Creates the file (and its folders) when missing; errors are ignored.
    static void ensureFile(const std::filesystem::path& path);

    // The status window's save handler: validates, writes with an
    // administrator's approval and, once written, refreshes and audits.
    void saveSettings(const ViewerSettings& settings);
    // Links handed to the application; those of the RustDesk scheme start
    // RustDesk off the main thread.
    void openUrls(const QList<QUrl>& urls);
    bool isSavingSettings() const { return savingSettings_; }
    // A customer-notification poll is in flight; further triggers wait for it.
    bool isPollingCustomerNotifications() const { return isPollingCustomerNotifications_; }

private:
    void installApplicationMenu();
    void installStatusItem();
    void waitForTray();
    void startTimers();
    void runTimerAction(MenuBarTimer which);
    void processIncomingChat();
    void processCustomerNotifications();
    void ensureRustDeskRunning();
    void openCustomerTicket(const QString& reference);
    void editAction(MenuAction action);
    // Writes the file to a temporary location and asks for approval to put it
    // in place; `done` gets the failure (null on success) on the main thread.
    void writeSettingsWithAdmin(const ViewerSettings& settings, std::function<void(std::exception_ptr)> done);
    void settingsWritten(const ViewerSettings& settings);

    std::optional<ViewerSettings> settings_;
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
    // Cuts short background audits at quit, so the process does not linger.
    StopSource backgroundStop_;
    // One window per conversation; closing only hides it. Past the bound of
    // conversations the window hidden longest gives way to a new one.
    std::map<std::string, std::unique_ptr<ChatWindowController>> chatWindows_;
    std::map<std::string, std::uint64_t> chatLastShown_;
    std::uint64_t chatShowCount_ = 0;
    // Files handled already that could not be removed: passed over until they go.
    std::set<std::string> ignoredChatFiles_;
    bool removeHandledChatFile(const std::filesystem::path& path);
    // Appends to the conversation's window or opens one; false when every
    // window the bound allows is open and the message was not shown.
    bool showChatMessage(const RemoteChatMessage& message);
    void ignoreForeignChatFile(const std::filesystem::path& path, uid_t owner);
    std::shared_ptr<RustDeskBackgroundService> rustDeskBackgroundService_;
    QFuture<void> rustDeskCheck_;
    // Link launches wait for RustDesk, which may run for a whole session:
    // they have threads of their own, and a bounded number wait at once.
    static constexpr int maximumRustDeskLaunches = 16;
    QThreadPool rustDeskLaunches_;
    int rustDeskLaunchesInFlight_ = 0;
    // One administrator prompt at a time.
    bool savingSettings_ = false;

    // Customer-panel replies: one poll at a time, a session change polls at once.
    void observeCustomerSession();
    ViewerSettings effectiveSettings() const;
    void deliverNotification(const UserNotificationContent& content);
    bool isPollingCustomerNotifications_ = false;
};

} // namespace kova::menubar
