#pragma once

#include "FakeDesktop.hpp"
#include "core/Errors.hpp"
#include "menubar/app/KovaViewerMenuBarApp.hpp"
#include "menubar/model/HelpdeskClient.hpp"
#include "support/FakeProcessRunner.hpp"
#include "support/TempRoot.hpp"

#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>

namespace kova::test {

// The child widget with that object name; a missing one ends the test run,
// since every later step would only dereference null.
template <typename T> T* findWidget(QWidget* window, const char* name) {
    auto* widget = window->findChild<T*>(QString::fromLatin1(name));
    if (!widget) {
        qFatal("no widget %s", name);
    }
    return widget;
}

// The settings file with this token and server, every other value the default.
inline void writeSettings(const std::string& token, const std::string& server = "https://desk.example.org",
                          bool notificationsEnabled = true) {
    auto settings = ViewerSettings::defaults();
    settings.serverBaseUrl = server;
    settings.viewerToken = token;
    settings.notificationsEnabled = notificationsEnabled;
    settings.write(paths::configPath());
}

// The helpdesk as the test answers it: each call goes to the test's function,
// and one without a function fails like a server nobody answers; any thread.
class FakeHelpdeskClient : public menubar::HelpdeskClient {
public:
    std::function<AgentOperationOutcome(const ViewerSettings&, const std::string& reason)> inventory;
    std::function<AgentTicketResponse(const AgentTicketDraft&)> ticket;
    std::function<void(const AgentChatMessage&, StopToken)> chat;
    std::function<CustomerSessionResponse(const std::string& email, const std::string& password)> login;
    std::function<CustomerTicketNotificationPage(const std::string& token, std::int64_t after,
                                                 std::int64_t limit)>
        notifications;

    AgentOperationOutcome sendInventory(const ViewerSettings& settings, const std::string& reason,
                                        StopToken) override {
        return answer(inventory, settings, reason);
    }
    AgentTicketResponse createTicket(const ViewerSettings&, const AgentTicketDraft& draft, const ViewerState&,
                                     StopToken) override {
        return answer(ticket, draft);
    }
    void sendChatMessage(const ViewerSettings&, const std::string&, const AgentChatMessage& message,
                         StopToken stop) override {
        answer(chat, message, stop);
    }
    CustomerSessionResponse loginCustomer(const ViewerSettings&, const std::string& email,
                                          const std::string& password) override {
        return answer(login, email, password);
    }
    CustomerTicketNotificationPage customerTicketNotifications(const ViewerSettings&,
                                                               const std::string& token, std::int64_t after,
                                                               std::int64_t limit, StopToken) override {
        return answer(notifications, token, after, limit);
    }

private:
    template <typename F, typename... Args>
    typename F::result_type answer(const F& function, Args&&... arguments) {
        if (!function) {
            throw NetworkError(NetworkErrorCode::cannotConnectToHost, "no answer in this test");
        }
        return function(std::forward<Args>(arguments)...);
    }
};

// What every suite starts from: a temporary root, the recording desktop, the
// test's helpdesk, RustDesk's background endpoint already running, alerts
// recorded instead of shown. start() builds the delegate on them.
struct GuiFixture {
    TempRoot root;
    FakeDesktop desktop;
    std::shared_ptr<FakeHelpdeskClient> helpdesk = std::make_shared<FakeHelpdeskClient>();
    // For a window tested without the delegate, which owns a model of its own.
    menubar::ViewerModel model;
    std::shared_ptr<FakeProcessRunner> runner = [] {
        auto runner = std::make_shared<FakeProcessRunner>();
        runner->addAny("/usr/bin/pgrep", "", 0);
        return runner;
    }();
    QStringList alerts;
    // Whose incoming chat files are shown: the daemon's unless a test writes them.
    uid_t chatFileOwner = 0;
    std::unique_ptr<menubar::KovaViewerMenuBarApp> app;

    // The delegate on these, launched unless `launch` is false.
    menubar::KovaViewerMenuBarApp& start(bool launchedForMenuBar = true, bool launch = true) {
        menubar::KovaViewerMenuBarApp::Dependencies given;
        given.desktop = &desktop;
        given.helpdesk = helpdesk;
        given.processRunner = runner;
        given.chatFileOwner = chatFileOwner;
        given.presentAlert = [this](const QString& title, const QString& message) {
            alerts << title + QStringLiteral(": ") + message;
        };
        app = std::make_unique<menubar::KovaViewerMenuBarApp>(launchedForMenuBar, std::move(given));
        if (launch) {
            app->applicationDidFinishLaunching();
        }
        return *app;
    }
};

} // namespace kova::test
