#include "FakeDesktop.hpp"
#include "core/Errors.hpp"
#include "core/Paths.hpp"
#include "core/ViewerLogger.hpp"
#include "menubar/CustomerLoginCard.hpp"
#include "menubar/CustomerNotificationRules.hpp"
#include "menubar/CustomerSessionStore.hpp"
#include "menubar/KovaViewerMenuBarApp.hpp"
#include "menubar/StatusWindowController.hpp"
#include "menubar/ViewerTheme.hpp"
#include "support/TempRoot.hpp"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include <atomic>
#include <fstream>
#include <sstream>

using namespace kova;
using namespace kova::menubar;

namespace {

CustomerTicketNotification reply(std::int64_t id, const std::string& reference, const std::string& text) {
    return {id, reference, "HD-" + std::to_string(id), "Drukarka", text, "2026-12-09T08:00:00Z"};
}

CustomerSessionState session(std::int64_t lastMessageId) {
    CustomerSessionState state;
    state.accessToken = "cs_secret_token";
    state.expiresAt = "2099-01-01T00:00:00Z";
    state.customer.email = "anna@firma.pl";
    state.customer.fullName = "Anna Nowak";
    state.lastNotificationMessageId = lastMessageId;
    return state;
}

void writeSettings(bool notificationsEnabled) {
    auto settings = ViewerSettings::defaults();
    settings.serverBaseUrl = "https://desk.example.org";
    settings.viewerToken = "ACME";
    settings.notificationsEnabled = notificationsEnabled;
    settings.write(paths::configPath());
}

std::string logText() {
    std::ifstream in(ViewerLogger::logFile());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

template <typename T> T* child(QWidget* parent, const char* name) {
    auto* widget = parent->findChild<T*>(QString::fromLatin1(name));
    if (!widget) {
        qFatal("no widget %s", name);
    }
    return widget;
}

QColor foreground(QLabel* label) {
    return label->palette().color(QPalette::WindowText);
}

} // namespace

class CustomerNotificationTest : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<test::TempRoot> root_;
    std::unique_ptr<test::FakeDesktop> desktop_;
    std::unique_ptr<KovaViewerMenuBarApp> app_;
    std::function<CustomerTicketNotificationPage(std::int64_t after, std::int64_t limit)> page_;
    std::atomic<int> fetches_ = 0;

    KovaViewerMenuBarApp& start() {
        KovaViewerMenuBarApp::Dependencies dependencies;
        dependencies.desktop = desktop_.get();
        dependencies.sendInventory = [](const ViewerSettings&, std::stop_token) {
            return AgentOperationOutcome{};
        };
        dependencies.presentAlert = [](const QString&, const QString&) {};
        dependencies.fetchCustomerNotifications = [this](const ViewerSettings&, const std::string& token,
                                                         std::int64_t after, std::int64_t limit,
                                                         std::stop_token) {
            ++fetches_;
            if (token != "cs_secret_token") {
                throw ViewerError::http(401, "{}");
            }
            return page_(after, limit);
        };
        app_ = std::make_unique<KovaViewerMenuBarApp>(true, std::move(dependencies));
        app_->applicationDidFinishLaunching();
        return *app_;
    }

    void waitForPoll() {
        QTRY_VERIFY(fetches_ > 0 && !app_->isPollingCustomerNotifications());
        QCoreApplication::processEvents();
    }

private Q_SLOTS:
    void init() {
        root_ = std::make_unique<test::TempRoot>();
        qputenv("XDG_DATA_HOME", QByteArray::fromStdString((root_->path() / "data").string()));
        desktop_ = std::make_unique<test::FakeDesktop>();
        fetches_ = 0;
    }
    void cleanup() {
        app_.reset();
        desktop_.reset();
        root_.reset();
    }

    void notificationContentAndLoginEmailRules() {
        const auto uuid = QStringLiteral("0F4E-UUID");
        const auto withText = ticketReplyNotification(reply(7, "KOVA-7", "  Proszę zrestartować.\n"), uuid);
        QCOMPARE(withText, (UserNotificationContent{QStringLiteral("ticket-KOVA-7-0F4E-UUID"),
                                                    QStringLiteral("Konsultant odpowiedział • HD-7"),
                                                    QStringLiteral("Drukarka\nProszę zrestartować."),
                                                    QStringLiteral("KOVA-7")}));
        QCOMPARE(ticketReplyNotification(reply(8, "KOVA-8", " \n\t "), uuid).body,
                 QStringLiteral("Drukarka"));
        QCOMPARE(
            userNotificationContent(QStringLiteral("T"), QStringLiteral("B"), QString(), uuid).identifier,
            uuid);

        QCOMPARE(loginEmail("  Anna.Nowak@Firma.PL \n"), std::optional<std::string>("anna.nowak@firma.pl"));
        QCOMPARE(loginEmail("ŁUCJA@Przykład.pl"), std::optional<std::string>("łucja@przykład.pl"));
        for (const char* invalid : {"anna@firma", "anna.firma.pl", "", "anna@firma@host"}) {
            QVERIFY2(!loginEmail(invalid), invalid);
        }
        QCOMPARE(withoutSecrets("a cs_1 b cs_1", {"cs_1", ""}), std::string("a *** b ***"));
    }

    void pollShowsRepliesInPageOrderAndAdvancesTheCursor() {
        writeSettings(true);
        CustomerSessionStore::save(session(5));
        std::vector<std::pair<std::int64_t, std::int64_t>> asked;
        page_ = [&asked](std::int64_t after, std::int64_t limit) {
            asked.emplace_back(after, limit);
            return CustomerTicketNotificationPage{
                {reply(9, "KOVA-1", "Pierwsza"), reply(11, "KOVA-2", " "), reply(12, "KOVA-1", "Trzecia")},
                12,
                false};
        };
        start();
        waitForPoll();
        QCOMPARE(asked, (std::vector<std::pair<std::int64_t, std::int64_t>>{{5, 20}}));
        QCOMPARE(CustomerSessionStore::load()->lastNotificationMessageId, std::int64_t(12));
        QCOMPARE(desktop_->notifications.size(), std::size_t(3));
        const QStringList titles{desktop_->notifications[0].title, desktop_->notifications[1].title,
                                 desktop_->notifications[2].title};
        QCOMPARE(titles, (QStringList{QStringLiteral("Konsultant odpowiedział • HD-9"),
                                      QStringLiteral("Konsultant odpowiedział • HD-11"),
                                      QStringLiteral("Konsultant odpowiedział • HD-12")}));
        QCOMPARE(desktop_->notificationTexts(),
                 (QStringList{QStringLiteral("Drukarka\nPierwsza"), QStringLiteral("Drukarka"),
                              QStringLiteral("Drukarka\nTrzecia")}));
        QCOMPARE(desktop_->notifications[1].userData, QStringLiteral("KOVA-2"));
        QVERIFY(desktop_->notifications[1].identifier.startsWith(QStringLiteral("ticket-KOVA-2-")));
        QVERIFY(desktop_->notifications[0].identifier != desktop_->notifications[2].identifier);

        // A click opens the ticket below the server address.
        Q_EMIT desktop_->notificationActivated(QStringLiteral("KOVA-2"));
        QCOMPARE(desktop_->opened.back(),
                 QUrl(QStringLiteral("https://desk.example.org/customer/tickets/KOVA-2")));

        // Triggers while a poll runs are dropped: a session change polls again only after it.
        asked.clear();
        fetches_ = 0;
        CustomerSessionEvents::instance().post();
        CustomerSessionEvents::instance().post();
        waitForPoll();
        QTest::qWait(100);
        QCOMPARE(int(fetches_), 1);
        QCOMPARE(asked.front().first, std::int64_t(12));
    }

    void disabledNotificationsStillAdvanceTheCursor() {
        writeSettings(false);
        CustomerSessionStore::save(session(0));
        page_ = [](std::int64_t, std::int64_t) {
            return CustomerTicketNotificationPage{{reply(3, "KOVA-3", "x")}, 3, false};
        };
        start();
        waitForPoll();
        QCOMPARE(CustomerSessionStore::load()->lastNotificationMessageId, std::int64_t(3));
        QVERIFY(desktop_->notifications.empty());
    }

    void rejectedSessionEndsSilentlyOtherFailuresAreLogged() {
        writeSettings(true);
        auto rejected = session(4);
        rejected.accessToken = "cs_revoked";
        CustomerSessionStore::save(rejected);
        start();
        const auto sessionFile = *CustomerSessionStore::directory() / "customer-session.json";
        QTRY_VERIFY(!std::filesystem::exists(sessionFile));
        QVERIFY(logText().find("poll failed") == std::string::npos);

        CustomerSessionStore::save(session(4));
        page_ = [](std::int64_t, std::int64_t) -> CustomerTicketNotificationPage {
            throw ViewerError::http(500, "token cs_secret_token rejected");
        };
        fetches_ = 0;
        CustomerSessionEvents::instance().post();
        waitForPoll();
        QVERIFY(CustomerSessionStore::load());
        const auto log = logText();
        QVERIFY(log.find("[ERROR] Customer ticket notifications poll failed: ") != std::string::npos);
        QVERIFY(log.find("cs_secret_token") == std::string::npos);
    }

    void loginCardLogsInAndOut() {
        std::vector<std::optional<CustomerProfile>> profiles;
        std::vector<std::string> sent;
        bool refuse = false;
        CustomerLoginCard::Dependencies dependencies;
        dependencies.currentSettings = [] { return ViewerSettings::defaults(); };
        dependencies.profileChanged = [&profiles](const auto& profile) { profiles.push_back(profile); };
        dependencies.login = [&](const ViewerSettings&, const std::string& email,
                                 const std::string& password) {
            sent = {email, password};
            if (refuse) {
                throw ViewerError::http(401, "{\"detail\":\"Nieprawidłowe dane logowania.\"}");
            }
            CustomerSessionResponse response;
            response.accessToken = "cs_secret_token";
            response.expiresAt = "2099-01-01T00:00:00Z";
            response.customer.email = email;
            response.customer.fullName = "Anna Nowak";
            return response;
        };
        CustomerLoginCard card(std::move(dependencies));
        card.show();
        auto* status = child<QLabel>(&card, "loginStatusLabel");
        auto* email = child<QLineEdit>(&card, "loginEmailField");
        auto* password = child<QLineEdit>(&card, "loginPasswordField");
        auto* emailRow = child<QWidget>(&card, "loginEmailRow");
        auto* logout = child<QWidget>(&card, "logoutButton");
        QCOMPARE(status->text(),
                 QStringLiteral("Zaloguj się, aby otrzymywać powiadomienia dotyczące zgłoszeń."));
        QVERIFY(emailRow->isVisible() && !logout->isVisible());

        email->setText(QStringLiteral("anna@firma"));
        card.loginForNotifications();
        QCOMPARE(status->text(), QStringLiteral("Podaj poprawny adres e-mail."));
        QCOMPARE(foreground(status), ViewerTheme::systemRed);
        email->setText(QStringLiteral(" Anna@Firma.pl "));
        card.loginForNotifications();
        QCOMPARE(status->text(), QStringLiteral("Wpisz hasło do panelu klienta."));
        // The 2-second refresh leaves a message standing while nothing changed.
        card.refreshNotificationLoginState();
        QCOMPARE(status->text(), QStringLiteral("Wpisz hasło do panelu klienta."));

        refuse = true;
        password->setText(QStringLiteral("tajne hasło"));
        card.loginForNotifications();
        QCOMPARE(status->text(), QStringLiteral("Logowanie…"));
        QTRY_VERIFY(status->text() != QStringLiteral("Logowanie…"));
        QVERIFY(status->text().startsWith(QStringLiteral("Nie udało się zalogować się do powiadomień")));
        QCOMPARE(foreground(status), ViewerTheme::systemRed);
        QVERIFY(child<QWidget>(&card, "loginButton")->isEnabled());

        refuse = false;
        card.loginForNotifications();
        QTRY_VERIFY(logout->isVisible());
        QCOMPARE(sent, (std::vector<std::string>{"anna@firma.pl", "tajne hasło"}));
        QCOMPARE(status->text(),
                 QStringLiteral("Powiadomienia o zgłoszeniach są połączone z kontem anna@firma.pl."));
        QCOMPARE(foreground(status), ViewerTheme::tealDark);
        QVERIFY(!emailRow->isVisible() && !child<QWidget>(&card, "loginPasswordRow")->isVisible());
        QVERIFY(!child<QWidget>(&card, "loginButton")->isVisible());
        QVERIFY(password->text().isEmpty());
        const auto stored = CustomerSessionStore::load();
        QVERIFY(stored && stored->accessToken == "cs_secret_token" && stored->lastNotificationMessageId == 0);
        QVERIFY(profiles.size() == 1 && profiles[0] && profiles[0]->email == "anna@firma.pl");

        card.logoutFromNotifications();
        QVERIFY(!CustomerSessionStore::load());
        QVERIFY(profiles.size() == 2 && !profiles[1]);
        QVERIFY(emailRow->isVisible() && !logout->isVisible());
    }

    void notificationCardButtonsAndPreference() {
        writeSettings(true);
        std::vector<ViewerSettings> saved;
        StatusWindowHandlers handlers;
        handlers.save = [&saved](const ViewerSettings& settings) { saved.push_back(settings); };
        StatusWindowController window(ViewerSettings::load(), ViewerState::load(), handlers, *desktop_,
                                      platform::systemFacts());
        window.show();
        window.selectTab(StatusTab::settings);
        auto* label = child<QLabel>(&window, "notificationPermissionValue");
        QCOMPARE(label->text(), QStringLiteral("Powiadomienia są włączone."));

        desktop_->permission = NotificationPermission::notDetermined;
        window.requestNotificationPermission();
        QCOMPARE(desktop_->permissionRequests, 1);
        QCOMPARE(desktop_->notificationSettingsOpened, 0);
        QCOMPARE(label->text(), QStringLiteral("Powiadomienia nie zostały jeszcze skonfigurowane."));
        desktop_->permission = NotificationPermission::denied;
        window.requestNotificationPermission();
        QCOMPARE(desktop_->permissionRequests, 1);
        QCOMPARE(desktop_->notificationSettingsOpened, 1);

        desktop_->permission = NotificationPermission::authorized;
        auto* toggle = child<QCheckBox>(&window, "notificationAppToggle");
        QVERIFY(toggle->isEnabled() && toggle->isChecked());
        QTest::mouseClick(toggle, Qt::LeftButton, {}, QPoint(8, toggle->height() / 2));
        QCOMPARE(saved.size(), std::size_t(1));
        QVERIFY(!saved[0].notificationsEnabled);
        QCOMPARE(saved[0].viewerToken, std::string("ACME"));
        QCOMPARE(label->text(), QStringLiteral("Powiadomienia są wyłączone w aplikacji."));
        // A refresh from disk sets the box back without saving; a screen
        // reader's toggle (no click) saves like a click.
        window.refreshFromDisk();
        QVERIFY(toggle->isChecked());
        QCOMPARE(saved.size(), std::size_t(1));
        toggle->toggle();
        QCOMPARE(saved.size(), std::size_t(2));
        QVERIFY(!saved[1].notificationsEnabled);
    }
};

QTEST_MAIN(CustomerNotificationTest)
#include "CustomerNotificationTest.moc"
