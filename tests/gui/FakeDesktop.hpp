#pragma once

#include "menubar/platform/Desktop.hpp"

#include <QStringList>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <string>
#include <vector>

namespace kova::test {

// Records what the application asks of the desktop.
class FakeDesktop : public menubar::Desktop {
    Q_OBJECT
public:
    struct Notification {
        QString title;
        QString text;
        QString userData;
        QString identifier;
    };

    void setActivationPolicy(menubar::ActivationPolicy policy) override { policies.push_back(policy); }
    void activate(QWidget* window) override {
        window->show();
        activated.push_back(window);
    }
    bool listenForShowRequests() override { return true; }
    void queryNotificationPermission(std::function<void(menubar::NotificationPermission)> done) override {
        done(permission);
    }
    bool openUrl(const QUrl& url) override {
        opened.push_back(url);
        return true;
    }
    std::optional<QString> applicationPath(const QString&) override { return std::nullopt; }
    // Records the command and answers later on the main thread, like the
    // system's prompt; the answer may look at the files the command names.
    void runAdministratorCommand(const std::string& shellCommand,
                                 std::function<void(menubar::AdministratorCommandResult)> done) override {
        administratorCommands.push_back(shellCommand);
        QMetaObject::invokeMethod(
            this,
            [this, shellCommand, done = std::move(done)] {
                done(administratorAnswer ? administratorAnswer(shellCommand)
                                         : menubar::AdministratorCommandResult{true, 0, {}});
            },
            Qt::QueuedConnection);
    }
    void showUserNotification(const QString& identifier, const QString& title, const QString& text,
                              const QString& ticketReference) override {
        notifications.push_back({title, text, ticketReference, identifier});
    }
    void requestNotificationPermission(std::function<void(std::optional<QString>)> done) override {
        ++permissionRequests;
        done(permissionRequestError);
    }
    bool openNotificationSettings() override {
        ++notificationSettingsOpened;
        return true;
    }

    QStringList notificationTexts() const {
        QStringList texts;
        for (const auto& n : notifications) {
            texts << n.text;
        }
        return texts;
    }

    std::vector<menubar::ActivationPolicy> policies;
    std::vector<QWidget*> activated;
    std::vector<Notification> notifications;
    std::vector<QUrl> opened;
    menubar::NotificationPermission permission = menubar::NotificationPermission::authorized;
    std::vector<std::string> administratorCommands;
    std::function<menubar::AdministratorCommandResult(const std::string&)> administratorAnswer;
    int permissionRequests = 0;
    std::optional<QString> permissionRequestError;
    int notificationSettingsOpened = 0;
};

} // namespace kova::test
