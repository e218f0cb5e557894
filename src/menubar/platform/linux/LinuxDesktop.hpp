#pragma once

#include "menubar/platform/Desktop.hpp"
#include "menubar/platform/WakeChannel.hpp"

#include <QDBusConnection>
#include <QStringList>

#include <deque>
#include <optional>
#include <string>
#include <utility>

namespace kova::menubar {

// The path of the per-user wake socket, in the user's private directory
// (XDG_RUNTIME_DIR when it is the user's own); empty when there is none.
std::string wakeSocketPath();
// A notification body as the server should get it: escaped for a server
// that reads the body-markup subset (so markup in server or file text shows
// as text), unchanged for one that shows bodies as plain text.
QString notificationBody(const QString& text, bool serverReadsMarkup);
// The program and arguments that open the notification settings of the
// desktops named in XDG_CURRENT_DESKTOP (":"-separated), first known one wins.
std::optional<QStringList> notificationSettingsCommand(const QString& currentDesktops);

// Linux desktop: the wake channel is a local socket, notifications go to
// org.freedesktop.Notifications on the session bus, files and URLs open
// through the desktop's default handler. Main thread only.
class LinuxDesktop : public Desktop {
    Q_OBJECT
public:
    LinuxDesktop();

    void setActivationPolicy(ActivationPolicy policy) override;
    void activate(QWidget* window) override;
    bool listenForShowRequests() override;
    void queryNotificationPermission(std::function<void(NotificationPermission)> done) override;
    bool openUrl(const QUrl& url) override;
    std::optional<QString> applicationPath(const QString& bundleIdentifier) override;
    void runAdministratorCommand(const std::string& shellCommand,
                                 std::function<void(AdministratorCommandResult)> done) override;
    void showUserNotification(const QString& identifier, const QString& title, const QString& text,
                              const QString& ticketReference) override;
    void requestNotificationPermission(std::function<void(std::optional<QString>)> done) override;
    bool openNotificationSettings() override;

private Q_SLOTS:
    void onActionInvoked(uint id, const QString& actionKey);
    void onNotificationClosed(uint id, uint reason);

private:
    void sendNotification(const QString& identifier, const QString& title, const QString& body,
                          const QString& ticketReference);
    void rememberNotification(uint id, const QString& userData);

    wake::Listener wake_;
    QDBusConnection bus_;
    // Ids of the notifications this process sent, newest last; the server
    // broadcasts the actions of every application's notifications.
    std::deque<std::pair<uint, QString>> ownNotifications_;
};

} // namespace kova::menubar
