#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>
#include <string>

class QWidget;

namespace kova::menubar {

// Start-up checks of the entry. Plain functions that create no Qt object, so
// they are safe before the application object exists (Qt aborts without a
// display).
namespace desktop {

// A graphical login session the application can show itself in: the window
// server session on macOS; a reachable X display or a Wayland socket on Linux.
bool hasGraphicalSession();

// Asks the running instance of this user to show its status window. Returns
// false when no instance answered.
bool postShowRunningApplication();

} // namespace desktop

enum class ActivationPolicy { accessory, regular };

// The system tools the administrator-approved settings install runs, by
// absolute path, and the administrators' group the installed file is given.
struct AdministratorTools {
    std::string makeDirectory;
    std::string copy;
    std::string changeOwner;
    std::string changeMode;
    std::string move;
    std::string remove;
    std::string launchctl;
    std::string administratorsGroup;
};

namespace desktop {

AdministratorTools administratorTools();

} // namespace desktop

// What became of a command run with administrator approval.
struct AdministratorCommandResult {
    bool started = false; // false: the approval prompt could not be run at all
    int exitStatus = -1;  // the prompt's exit status: non-zero when refused or a step failed
    QString error;        // why it could not be started
};

// What the user granted the application for user notifications.
enum class NotificationPermission { authorized, notDetermined, denied, unknown };

// The services of the desktop the application uses: activation, the wake
// channel between instances, user notifications, opening URLs and files and
// finding other applications. One implementation per OS; tests substitute a
// recording fake. Main thread only.
class Desktop : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~Desktop() override = default;

    virtual void setActivationPolicy(ActivationPolicy policy) = 0;
    // Brings the window to the front, taking focus from other applications.
    virtual void activate(QWidget* window) = 0;

    // Starts receiving show requests from later instances (showRequested).
    // Returns false when the channel cannot be opened.
    virtual bool listenForShowRequests() = 0;

    // Asks for the permission state; `done` runs later on the main thread.
    virtual void queryNotificationPermission(std::function<void(NotificationPermission)> done) = 0;

    // Opens a URL or a local file with the desktop's default handler.
    virtual bool openUrl(const QUrl& url) = 0;
    // The installed application with that bundle identifier, if any.
    virtual std::optional<QString> applicationPath(const QString& bundleIdentifier) = 0;

    // Runs the shell command as root once an administrator approves it (the
    // system's own authentication prompt). Never blocks: `done` runs later on
    // the main thread, also when the prompt could not be started.
    virtual void runAdministratorCommand(const std::string& shellCommand,
                                         std::function<void(AdministratorCommandResult)> done) = 0;
    // Shows a user notification with its own identifier and sound; a click
    // emits notificationActivated with `ticketReference`.
    virtual void showUserNotification(const QString& identifier, const QString& title, const QString& text,
                                      const QString& ticketReference) = 0;
    // Asks the user for permission to show alerts with sound; `done` runs later
    // on the main thread with the error's description when the request failed.
    virtual void requestNotificationPermission(std::function<void(std::optional<QString> error)> done) = 0;
    // Opens the desktop's notification settings; false where there are none.
    virtual bool openNotificationSettings() = 0;

Q_SIGNALS:
    void showRequested();
    // The user opened the application again (Finder, Spotlight, the Dock)
    // while it runs; only a Mac tells a running application so.
    void reopenRequested(bool hasVisibleWindows);
    void notificationActivated(const QString& userData);
    // A link in the application's URL scheme handed to this instance, by the
    // system or forwarded by a later instance over the wake channel.
    void openUrlRequested(const QUrl& url);
};

namespace desktop {

// Hands a link to the running instance of this user over the wake channel.
// Returns false when no instance took it.
bool postOpenUrlToRunningApplication(const QUrl& url);

} // namespace desktop

std::unique_ptr<Desktop> createDesktop();

} // namespace kova::menubar
