#include "GuiFixture.hpp"
#include "core/ViewerLogger.hpp"
#include "menubar/customer/CustomerLoginCard.hpp"
#include "menubar/model/CustomerSessionStore.hpp"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include <atomic>
#include <fstream>
#include <sstream>

using namespace kova;
using namespace kova::menubar;
using kova::test::findWidget;

namespace {

CustomerTicketNotification reply(std::int64_t id, const std::string& reference, const std::string& text) {
    return {id, reference, "HD-" + std::to_string(id), "Drukarka", text, "2026-12-09T08:00:00Z"};
}

void writeSessionAndSettings(std::int64_t lastMessageId, const std::string& token,
                             bool notificationsEnabled) {
    CustomerSessionState state;
    state.accessToken = token;
    state.expiresAt = "2099-01-01T00:00:00Z";
    state.customer.email = "anna@firma.pl";
    state.lastNotificationMessageId = lastMessageId;
    CustomerSessionStore::save(state);
    test::writeSettings("ACME", "https://desk.example.org", notificationsEnabled);
}

std::string logText() {
    std::stringstream text;
    text << std::ifstream(ViewerLogger::logFile()).rdbuf();
    return text.str();
}

} // namespace

class CustomerNotificationTest : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<test::GuiFixture> fixture_;
    test::FakeDesktop* desktop_ = nullptr;
    std::function<CustomerTicketNotificationPage(std::int64_t after, std::int64_t limit)> page_;
    std::atomic<int> fetches_ = 0;

    void startAndWaitForPoll() {
        fixture_->start();
        waitForPoll();
    }

    void waitForPoll() {
        QTRY_VERIFY(fetches_ > 0 && !fixture_->app->isPollingCustomerNotifications());
        QCoreApplication::processEvents();
    }

private Q_SLOTS:
    void init() {
        fixture_ = std::make_unique<test::GuiFixture>();
        qputenv("XDG_DATA_HOME", QByteArray::fromStdString((fixture_->root.path() / "data").string()));
        desktop_ = &fixture_->desktop;
        fetches_ = 0;
        fixture_->helpdesk->notifications = [this](const std::string& token, std::int64_t after,
                                                   std::int64_t limit) {
            ++fetches_;
            if (!token.starts_with("cs_live")) {
                throw ViewerError::http(401, "{}");
            }
            return page_(after, limit);
        };
    }
    void cleanup() { fixture_.reset(); }

    void notificationContentAndLoginEmailRules() {
        const auto content =
            ticketReplyNotification(reply(7, "KOVA-7", "  Proszę zrestartować.\n"), u"U1"_qs);
        QCOMPARE(content,
                 (UserNotificationContent{u"ticket-KOVA-7-U1"_qs, u"Konsultant odpowiedział • HD-7"_qs,
                                          u"Drukarka\nProszę zrestartować."_qs, u"KOVA-7"_qs}));
        QCOMPARE(ticketReplyNotification(reply(8, "KOVA-8", " \n\t "), u"U1"_qs).body, u"Drukarka"_qs);
        QCOMPARE(userNotificationContent(u"T"_qs, u"B"_qs, QString(), u"U1"_qs).identifier, u"U1"_qs);

        QCOMPARE(loginEmail("  Anna.Nowak@Firma.PL \n"), std::optional<std::string>("anna.nowak@firma.pl"));
        QCOMPARE(loginEmail("ŁUCJA@Przykład.pl"), std::optional<std::string>("łucja@przykład.pl"));
        for (const char* invalid : {"anna@firma", "anna.firma.pl", "", "anna@firma@host"}) {
            QVERIFY2(!loginEmail(invalid), invalid);
        }
        QCOMPARE(withoutSecrets("a cs_1 b cs_1", {"cs_1", ""}), std::string("a *** b ***"));
    }

    void pollShowsRepliesInPageOrderAndAdvancesTheCursor() {
        writeSessionAndSettings(5, "cs_live", true);
        std::vector<std::int64_t> asked;
        page_ = [&asked](std::int64_t after, std::int64_t limit) {
            asked.insert(asked.end(), {after, limit});
            return CustomerTicketNotificationPage{
                {reply(9, "KOVA-1", "Pierwsza"), reply(11, "KOVA-2", " "), reply(12, "KOVA-1", "Trzecia")},
                12,
                false};
        };
        startAndWaitForPoll();
        QCOMPARE(asked, (std::vector<std::int64_t>{5, 20}));
        QCOMPARE(CustomerSessionStore::load()->lastNotificationMessageId, std::int64_t(12));
        QStringList shown;
        for (const auto& n : desktop_->notifications) {
            shown << n.title + u'|' + n.text + u'|' + n.userData;
            QVERIFY(n.identifier.startsWith(u"ticket-" + n.userData + u'-'));
        }
        QCOMPARE(shown, (QStringList{u"Konsultant odpowiedział • HD-9|Drukarka\nPierwsza|KOVA-1"_qs,
                                     u"Konsultant odpowiedział • HD-11|Drukarka|KOVA-2"_qs,
                                     u"Konsultant odpowiedział • HD-12|Drukarka\nTrzecia|KOVA-1"_qs}));

        Q_EMIT desktop_->notificationActivated(u"KOVA-2"_qs);
        QCOMPARE(desktop_->opened.back(), QUrl(u"https://desk.example.org/customer/tickets/KOVA-2"_qs));

        // A trigger while a poll runs is dropped, not queued.
        asked.clear();
        fetches_ = 0;
        fixture_->app->model().customerSessionStored();
        fixture_->app->model().customerSessionStored();
        waitForPoll();
        QTest::qWait(100);
        QCOMPARE(int(fetches_), 1);
        QCOMPARE(asked.front(), std::int64_t(12));

        // A new login while the request ran: its page is dropped, the new session polled at once.
        fetches_ = 0;
        desktop_->notifications.clear();
        page_ = [this](std::int64_t after, std::int64_t) {
            if (fetches_ == 1) {
                writeSessionAndSettings(0, "cs_live_2", true);
            }
            return CustomerTicketNotificationPage{{reply(after + 1, "KOVA-4", "x")}, after + 1, false};
        };
        fixture_->app->model().customerSessionStored();
        QTRY_COMPARE(int(fetches_), 2);
        waitForPoll();
        QCOMPARE(CustomerSessionStore::load()->lastNotificationMessageId, std::int64_t(1));
        QCOMPARE(desktop_->notifications.size(), std::size_t(1));
    }

    void disabledNotificationsStillAdvanceTheCursor() {
        writeSessionAndSettings(0, "cs_live", false);
        page_ = [](std::int64_t, std::int64_t) {
            return CustomerTicketNotificationPage{{reply(3, "KOVA-3", "x")}, 3, false};
        };
        startAndWaitForPoll();
        QCOMPARE(CustomerSessionStore::load()->lastNotificationMessageId, std::int64_t(3));
        QVERIFY(desktop_->notifications.empty());
    }

    void rejectedSessionEndsSilentlyOtherFailuresAreLogged() {
        writeSessionAndSettings(4, "cs_revoked", true);
        startAndWaitForPoll();
        QTRY_VERIFY(!std::filesystem::exists(*CustomerSessionStore::directory() / "customer-session.json"));
        QVERIFY(logText().find("poll failed") == std::string::npos);

        writeSessionAndSettings(4, "cs_live", true);
        page_ = [](std::int64_t, std::int64_t) -> CustomerTicketNotificationPage {
            throw ViewerError::http(500, "session cs_live rejected");
        };
        fetches_ = 0;
        fixture_->app->model().customerSessionStored();
        waitForPoll();
        QVERIFY(CustomerSessionStore::load());
        QVERIFY(logText().find("[ERROR] Customer ticket notifications poll failed: ") != std::string::npos);
        QVERIFY(logText().find("cs_live") == std::string::npos);
    }

    void loginCardLogsInAndOut() {
        std::vector<std::optional<CustomerProfile>> profiles;
        std::vector<std::string> sent;
        CustomerLoginCard::Dependencies dependencies;
        dependencies.model = &fixture_->model;
        dependencies.profileChanged = [&profiles](const auto& profile) { profiles.push_back(profile); };
        dependencies.helpdesk = fixture_->helpdesk;
        fixture_->helpdesk->login = [&sent](const std::string& email, const std::string& password) {
            sent = {email, password};
            if (password == "złe") {
                throw ViewerError::http(401, "{}");
            }
            return CustomerSessionResponse{"cs_live", "2099-01-01T00:00:00Z", {email, "Anna", {}, {}, false}};
        };
        CustomerLoginCard card(std::move(dependencies));
        card.show();
        auto* status = findWidget<QLabel>(&card, "loginStatusLabel");
        auto* email = findWidget<QLineEdit>(&card, "loginEmailField");
        auto* password = findWidget<QLineEdit>(&card, "loginPasswordField");
        auto* logout = findWidget<QWidget>(&card, "logoutButton");
        QCOMPARE(status->text(), u"Zaloguj się, aby otrzymywać powiadomienia dotyczące zgłoszeń."_qs);

        email->setText(u"anna@firma"_qs);
        card.loginForNotifications();
        QCOMPARE(status->text(), u"Podaj poprawny adres e-mail."_qs);
        email->setText(u" Anna@Firma.pl "_qs);
        card.loginForNotifications();
        QCOMPARE(status->text(), u"Wpisz hasło do panelu klienta."_qs);
        // The window's refresh leaves a message standing while the session is unchanged.
        card.refreshNotificationLoginState();
        QCOMPARE(status->text(), u"Wpisz hasło do panelu klienta."_qs);
        QVERIFY(sent.empty());

        password->setText(u"złe"_qs);
        card.loginForNotifications();
        QCOMPARE(status->text(), u"Logowanie…"_qs);
        QTRY_VERIFY(status->text().startsWith(u"Nie udało się zalogować się do powiadomień"_qs));
        QVERIFY(findWidget<QWidget>(&card, "loginButton")->isEnabled());

        password->setText(u"tajne hasło"_qs);
        card.loginForNotifications();
        QTRY_VERIFY(logout->isVisible());
        QCOMPARE(sent, (std::vector<std::string>{"anna@firma.pl", "tajne hasło"}));
        QCOMPARE(status->text(), u"Powiadomienia o zgłoszeniach są połączone z kontem anna@firma.pl."_qs);
        QVERIFY(!findWidget<QWidget>(&card, "loginEmailRow")->isVisible() && password->text().isEmpty());
        QCOMPARE(CustomerSessionStore::load()->lastNotificationMessageId, std::int64_t(0));
        QVERIFY(profiles.size() == 1 && profiles[0]->email == "anna@firma.pl");

        card.logoutFromNotifications();
        QVERIFY(!CustomerSessionStore::load() && profiles.size() == 2 && !profiles[1]);
        QVERIFY(findWidget<QWidget>(&card, "loginEmailRow")->isVisible() && !logout->isVisible());
    }

    void permissionButtonsAndPreference() {
        writeSessionAndSettings(0, "cs_live", true);
        std::vector<bool> saved;
        StatusWindowHandlers handlers;
        handlers.save = [&saved](const ViewerSettings& settings) {
            saved.push_back(settings.notificationsEnabled);
        };
        fixture_->model.reload();
        StatusWindowController window(fixture_->model, handlers, *desktop_, platform::systemFacts(),
                                      fixture_->helpdesk);
        window.show();
        auto* label = findWidget<QLabel>(&window, "notificationPermissionValue");
        desktop_->permission = NotificationPermission::notDetermined;
        window.requestNotificationPermission();
        QCOMPARE(label->text(), u"Powiadomienia nie zostały jeszcze skonfigurowane."_qs);
        desktop_->permission = NotificationPermission::denied;
        window.requestNotificationPermission();
        QCOMPARE(std::pair(desktop_->permissionRequests, desktop_->notificationSettingsOpened),
                 std::pair(1, 1));

        // A click or a screen reader's toggle saves; a refresh from disk never does.
        desktop_->permission = NotificationPermission::authorized;
        auto* toggle = findWidget<QCheckBox>(&window, "notificationAppToggle");
        toggle->click();
        QCOMPARE(label->text(), u"Powiadomienia są wyłączone w aplikacji."_qs);
        window.refreshFromDisk();
        QVERIFY(toggle->isChecked());
        toggle->toggle();
        QCOMPARE(saved, (std::vector<bool>{false, false}));
    }
};

QTEST_MAIN(CustomerNotificationTest)
#include "CustomerNotificationTest.moc"
