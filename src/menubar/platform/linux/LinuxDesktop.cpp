#include "menubar/platform/linux/LinuxDesktop.hpp"

#include "core/Files.hpp"
#include "core/ToolPaths.hpp"
#include "core/ViewerLogger.hpp"
#include "menubar/platform/AdministratorPrompt.hpp"
#include "menubar/platform/UserPrivateDirectory.hpp"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QWidget>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace kova::menubar {
namespace {

constexpr auto notificationsService = "org.freedesktop.Notifications";
constexpr auto notificationsPath = "/org/freedesktop/Notifications";
constexpr auto notificationsInterface = "org.freedesktop.Notifications";
constexpr std::size_t rememberedNotifications = 256;
// How long a later instance waits for the running one to take its request.
constexpr auto acknowledgementTimeout = std::chrono::seconds(2);

bool connectUnix(const std::string& path, bool abstract, files::UniqueFd& socketFd) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof(address.sun_path)) {
        return false;
    }
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    int rc;
    do {
        rc = ::connect(socketFd.get(), reinterpret_cast<const sockaddr*>(&address), length);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool canConnect(const std::string& path, bool abstract) {
    files::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return fd.get() >= 0 && connectUnix(path, abstract, fd);
}

bool isSocket(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// A local X display (":0", "unix:1.0") is reachable when its socket accepts a
// connection (abstract or in /tmp/.X11-unix); a display on another host is
// taken as given, since only the X server could tell.
bool displayReachable(std::string_view display) {
    const auto colon = display.rfind(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    const auto host = display.substr(0, colon);
    if (!host.empty() && host != "unix") {
        return host.front() != '/' || isSocket(std::string(display));
    }
    auto number = display.substr(colon + 1);
    number = number.substr(0, number.find('.'));
    if (number.empty() || number.find_first_not_of("0123456789") != std::string_view::npos) {
        return false;
    }
    const auto path = "/tmp/.X11-unix/X" + std::string(number);
    return canConnect(path, true) || canConnect(path, false);
}

bool waylandReachable(std::string_view name) {
    if (name.empty()) {
        return false;
    }
    if (name.front() == '/') {
        return isSocket(std::string(name));
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime && *runtime && isSocket(std::string(runtime) + "/" + std::string(name));
}

} // namespace

bool desktop::hasGraphicalSession() {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (wayland && waylandReachable(wayland)) {
        return true;
    }
    const char* display = std::getenv("DISPLAY");
    return display && displayReachable(display);
}

AdministratorTools desktop::administratorTools() {
    // Merged-/usr systems keep the tools in /usr/bin, older ones in /bin.
    const auto tool = [](const char* name) {
        for (const char* directory : {"/usr/bin/", "/bin/"}) {
            const std::string path = std::string(directory) + name;
            if (::access(path.c_str(), X_OK) == 0) {
                return path;
            }
        }
        return std::string("/bin/") + name;
    };
    // No launchd here: the restart goes where launchctl would be (a stand-in
    // may stand there), and is excused when it is missing.
    return {tool("mkdir"), tool("cp"), tool("chown"),    tool("chmod"),
            tool("mv"),    tool("rm"), tools::launchctl, "root"};
}

std::string wakeSocketPath() {
    // Only in a directory no other user can write: whoever listens there
    // first would receive the links, keys included.
    const auto directory = userPrivateDirectory();
    if (!directory) {
        return {};
    }
    return (*directory / "pl.tarnvik.sekwo.show-running-application").string();
}

bool desktop::postShowRunningApplication() {
    const auto path = wakeSocketPath();
    return !path.empty() && wake::sendRequest(path, wake::showRequest(), acknowledgementTimeout);
}

bool desktop::postOpenUrlToRunningApplication(const QUrl& url) {
    const auto path = wakeSocketPath();
    const auto request = wake::openRequest(url);
    return !path.empty() && request && wake::sendRequest(path, *request, acknowledgementTimeout);
}

LinuxDesktop::LinuxDesktop() : bus_(QDBusConnection::sessionBus()) {
    connect(&wake_, &wake::Listener::showRequested, this, &Desktop::showRequested);
    connect(&wake_, &wake::Listener::openUrlRequested, this, &Desktop::openUrlRequested);
    if (bus_.isConnected()) {
        const auto service = QString::fromLatin1(notificationsService);
        const auto path = QString::fromLatin1(notificationsPath);
        const auto interface = QString::fromLatin1(notificationsInterface);
        bus_.connect(service, path, interface, QStringLiteral("ActionInvoked"), this,
                     SLOT(onActionInvoked(uint, QString)));
        bus_.connect(service, path, interface, QStringLiteral("NotificationClosed"), this,
                     SLOT(onNotificationClosed(uint, uint)));
    }
}

void LinuxDesktop::setActivationPolicy(ActivationPolicy) {
    // Linux desktops have no Dock presence to switch.
}

void LinuxDesktop::activate(QWidget* window) {
    if (!window) {
        return;
    }
    window->show();
    window->raise();
    window->activateWindow();
}

bool LinuxDesktop::listenForShowRequests() {
    const auto path = wakeSocketPath();
    if (path.empty()) {
        ViewerLogger::warn("Show request channel not opened: no directory only this user can write");
        return false;
    }
    return wake_.listen(path);
}

QString notificationBody(const QString& text, bool serverReadsMarkup) {
    if (!serverReadsMarkup) {
        return text;
    }
    // The body-markup subset is XML-like: these three are all it takes for
    // the text to be read as text, never as a link, an image or a style.
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        if (c == QLatin1Char('&')) {
            escaped += QStringLiteral("&amp;");
        } else if (c == QLatin1Char('<')) {
            escaped += QStringLiteral("&lt;");
        } else if (c == QLatin1Char('>')) {
            escaped += QStringLiteral("&gt;");
        } else {
            escaped += c;
        }
    }
    return escaped;
}

void LinuxDesktop::showUserNotification(const QString& identifier, const QString& title, const QString& text,
                                        const QString& ticketReference) {
    if (!bus_.isConnected()) {
        ViewerLogger::warn("User notification not shown: no session bus");
        return;
    }
    // Whether the server reads markup in bodies is asked each time: the
    // desktop may have replaced its notification server since the last one.
    auto question = QDBusMessage::createMethodCall(
        QString::fromLatin1(notificationsService), QString::fromLatin1(notificationsPath),
        QString::fromLatin1(notificationsInterface), QStringLiteral("GetCapabilities"));
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(question), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, identifier, title, text, ticketReference](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                QDBusPendingReply<QStringList> capabilities = *call;
                // Without an answer the body is escaped: shown with entities at worst.
                const bool markup =
                    capabilities.isError() || capabilities.value().contains(QStringLiteral("body-markup"));
                sendNotification(identifier, title, notificationBody(text, markup), ticketReference);
            });
}

void LinuxDesktop::sendNotification(const QString& identifier, const QString& title, const QString& body,
                                    const QString& ticketReference) {
    auto message = QDBusMessage::createMethodCall(
        QString::fromLatin1(notificationsService), QString::fromLatin1(notificationsPath),
        QString::fromLatin1(notificationsInterface), QStringLiteral("Notify"));
    // The desktop's default sound for a new message; the identifier rides in
    // a vendor hint, since the server numbers notifications itself.
    QVariantMap hints{{QStringLiteral("sound-name"), QStringLiteral("message-new-instant")}};
    if (!identifier.isEmpty()) {
        hints.insert(QStringLiteral("x-sekwo-identifier"), identifier);
    }
    // The "default" action makes a click on the notification body reach us.
    message << QStringLiteral("Sekwo Tarnvik") << uint(0) << QString() << title << body
            << QStringList{QStringLiteral("default"), QStringLiteral("Otwórz")} << hints << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, ticketReference](QDBusPendingCallWatcher* call) {
                QDBusPendingReply<uint> reply = *call;
                if (reply.isError()) {
                    ViewerLogger::warn("User notification failed: " + reply.error().message().toStdString());
                } else {
                    rememberNotification(reply.value(), ticketReference);
                }
                call->deleteLater();
            });
}

void LinuxDesktop::rememberNotification(uint id, const QString& userData) {
    ownNotifications_.emplace_back(id, userData);
    while (ownNotifications_.size() > rememberedNotifications) {
        ownNotifications_.pop_front();
    }
}

void LinuxDesktop::onActionInvoked(uint id, const QString& actionKey) {
    for (const auto& [ownId, userData] : ownNotifications_) {
        if (ownId == id) {
            if (actionKey == QStringLiteral("default")) {
                Q_EMIT notificationActivated(userData);
            }
            return;
        }
    }
}

void LinuxDesktop::onNotificationClosed(uint id, uint) {
    std::erase_if(ownNotifications_, [id](const auto& entry) { return entry.first == id; });
}

void LinuxDesktop::queryNotificationPermission(std::function<void(NotificationPermission)> done) {
    if (!bus_.isConnected()) {
        QMetaObject::invokeMethod(
            this, [done = std::move(done)] { done(NotificationPermission::unknown); }, Qt::QueuedConnection);
        return;
    }
    // A running notification server is the whole of the permission here.
    auto message = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    message << QString::fromLatin1(notificationsService);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [done = std::move(done)](QDBusPendingCallWatcher* call) {
                QDBusPendingReply<bool> reply = *call;
                // No server yet is the nearest thing to a question not yet asked.
                if (reply.isError()) {
                    done(NotificationPermission::unknown);
                } else {
                    done(reply.value() ? NotificationPermission::authorized
                                       : NotificationPermission::notDetermined);
                }
                call->deleteLater();
            });
}

bool LinuxDesktop::openUrl(const QUrl& url) {
    return QDesktopServices::openUrl(url);
}

std::optional<QString> LinuxDesktop::applicationPath(const QString&) {
    return std::nullopt;
}

void LinuxDesktop::runAdministratorCommand(const std::string& shellCommand,
                                           std::function<void(AdministratorCommandResult)> done) {
    // polkit's agent asks for the administrator's password; pkexec runs the
    // same chain as root.
    runAdministratorPrompt(
        this, QLatin1String(tools::pkexec),
        {QLatin1String(tools::sh), QStringLiteral("-c"), QString::fromStdString(shellCommand)},
        std::move(done));
}

void LinuxDesktop::requestNotificationPermission(std::function<void(std::optional<QString>)> done) {
    // Freedesktop notification servers ask nobody: there is nothing to request.
    QMetaObject::invokeMethod(
        this, [done = std::move(done)] { done(std::nullopt); }, Qt::QueuedConnection);
}

std::optional<QStringList> notificationSettingsCommand(const QString& currentDesktops) {
    static const std::array<std::pair<const char*, QStringList>, 6> known{{
        {"GNOME", {QStringLiteral("gnome-control-center"), QStringLiteral("notifications")}},
        {"UNITY", {QStringLiteral("gnome-control-center"), QStringLiteral("notifications")}},
        {"KDE", {QStringLiteral("systemsettings"), QStringLiteral("kcm_notifications")}},
        {"CINNAMON", {QStringLiteral("cinnamon-settings"), QStringLiteral("notifications")}},
        {"XFCE", {QStringLiteral("xfce4-notifyd-config")}},
        {"MATE", {QStringLiteral("mate-notification-properties")}},
    }};
    for (const auto& name : currentDesktops.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        for (const auto& [desktopName, command] : known) {
            if (name.trimmed().compare(QLatin1String(desktopName), Qt::CaseInsensitive) == 0) {
                return command;
            }
        }
    }
    return std::nullopt;
}

bool LinuxDesktop::openNotificationSettings() {
    const auto command = notificationSettingsCommand(qEnvironmentVariable("XDG_CURRENT_DESKTOP"));
    if (!command) {
        return false;
    }
    const QString program = QStandardPaths::findExecutable(command->front());
    if (program.isEmpty()) {
        return false;
    }
    // Detached: the settings application outlives this call and is reaped by init.
    return QProcess::startDetached(program, command->mid(1));
}

std::unique_ptr<Desktop> createDesktop() {
    return std::make_unique<LinuxDesktop>();
}

} // namespace kova::menubar
