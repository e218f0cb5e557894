#include "GuiFixture.hpp"
#include "menubar/rustdesk/RustDeskProtocolLauncher.hpp"
#include "menubar/ui/Dialogs.hpp"
#include "update/ViewerUpdateCoordinator.hpp"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QScopeGuard>
#include <QTest>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <atomic>
#include <future>

using namespace kova;
using namespace kova::menubar;
using kova::test::writeSettings;

namespace {

// moc reads this file too and trips over raw strings, so files are written
// from their records.
void writeState(std::optional<AgentConnectionIssue> issue, std::optional<std::string> message) {
    ViewerState state;
    state.connectionIssue = issue;
    state.connectionMessage = std::move(message);
    state.save();
}

void writeUpdateStatus(const std::string& phase, const std::string& message) {
    ViewerUpdateCoordinator::writeStatus({phase, message, "0.2.55", "0.2.56", nowSeconds(), std::nullopt});
}

} // namespace

class MenuBarAppTest : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<test::GuiFixture> fixture_;
    test::FakeDesktop* desktop_ = nullptr;

    KovaViewerMenuBarApp& start(bool launchedForMenuBar) { return fixture_->start(launchedForMenuBar); }
    void audit(std::function<AgentOperationOutcome()> outcome) {
        fixture_->helpdesk->inventory = [outcome](const ViewerSettings&, const std::string&) {
            return outcome();
        };
    }

private Q_SLOTS:
    void init() {
        fixture_ = std::make_unique<test::GuiFixture>();
        desktop_ = &fixture_->desktop;
        audit([] { return AgentOperationOutcome::success(); });
    }
    void cleanup() { fixture_.reset(); }

    void timersRunWithTheirPeriods() {
        writeSettings("ACME");
        auto& app = start(true);
        const std::pair<MenuBarTimer, int> expected[] = {{MenuBarTimer::chatPoll, 2000},
                                                         {MenuBarTimer::customerNotification, 20000},
                                                         {MenuBarTimer::updateStatus, 1500},
                                                         {MenuBarTimer::connectionStatus, 15000},
                                                         {MenuBarTimer::rustDeskHealth, 5400000}};
        for (const auto& [which, period] : expected) {
            QVERIFY(app.timer(which)->isActive());
            QCOMPARE(app.timer(which)->interval(), period);
        }
        app.applicationWillTerminate();
        for (const auto& [which, period] : expected) {
            QVERIFY(!app.timer(which)->isActive());
        }
    }

    void windowOnlyWithoutTokenOrMenuBarFlag() {
        writeSettings("ACME");
        auto& iconOnly = start(true);
        QTest::qWait(700);
        QVERIFY(!iconOnly.statusWindow());

        writeSettings("");
        auto& firstStart = start(true);
        QVERIFY(!firstStart.statusWindow());
        QTRY_VERIFY(firstStart.statusWindow() && firstStart.statusWindow()->isVisible());
        QCOMPARE(firstStart.statusWindow()->selectedTab(), StatusTab::settings);
        QCOMPARE(desktop_->policies.back(), ActivationPolicy::regular);
    }

    void clicksReopeningAndShortcutsLeadToTheirWindows() {
        writeSettings("ACME");
        auto& app = start(true);
        // A click on a notification without a ticket (an audit sent, an issue) does nothing.
        Q_EMIT desktop_->notificationActivated(QString());
        QTest::qWait(50);
        QVERIFY(!app.statusWindow() && desktop_->opened.empty());

        // Every click on the icon but the menu's opens the status window.
        for (const auto reason : {QSystemTrayIcon::MiddleClick, QSystemTrayIcon::DoubleClick,
                                  QSystemTrayIcon::Unknown, QSystemTrayIcon::Trigger}) {
            if (app.statusWindow()) {
                app.statusWindow()->hide();
            }
            app.statusItemClicked(reason);
            QVERIFY2(app.statusWindow() && app.statusWindow()->isVisible(),
                     qPrintable(QString::number(reason)));
        }
        app.statusWindow()->hide();
        app.statusItemClicked(QSystemTrayIcon::Context);
        QVERIFY(!app.statusWindow()->isVisible());

        // Opened again while it runs (the Mac tells it so).
        Q_EMIT desktop_->reopenRequested(false);
        QTRY_VERIFY(app.statusWindow()->isVisible());

        // "Nowe zgłoszenie": the ticket tab, the cursor in the customer e-mail field.
        app.perform(MenuAction::showTicketForm);
        QCOMPARE(app.statusWindow()->selectedTab(), StatusTab::ticket);
        const QWidget* focused = app.statusWindow()->focusWidget();
        QCOMPARE(focused ? focused->objectName() : QString(), QStringLiteral("ticketCustomerEmailField"));
    }

    void menuIsRebuiltFromTheStateFile() {
        writeSettings("ACME");
        auto& app = start(true);
        QMenu menu;
        app.buildMenu(&menu);
        QCOMPARE(menu.actions().size(), 13);
        QCOMPARE(menu.actions()[0]->text(), QStringLiteral("Sekwo Tarnvik: aktywna"));
        QVERIFY(!menu.actions()[0]->isEnabled());
        QCOMPARE(menu.actions()[12]->text(), QStringLiteral("Zakończ ikonę"));

        writeState(std::nullopt, "Brak połączenia z serwerem.");
        app.buildMenu(&menu);
        QCOMPARE(menu.actions().size(), 13);
        QCOMPARE(menu.actions()[0]->text(), QStringLiteral("Brak połączenia z serwerem."));

        // "Pokaż status" reaches the window once the menu has closed.
        menu.actions()[2]->trigger();
        QTRY_VERIFY(app.statusWindow() && app.statusWindow()->isVisible());
    }

    void updatePhasesAreAnnouncedOnce() {
        writeSettings("ACME");
        auto& app = start(true);
        writeUpdateStatus("downloading", "Pobieram 0.2.56");
        app.presentUpdateProgressIfNeeded();
        app.presentUpdateProgressIfNeeded();
        QCOMPARE(desktop_->notificationTexts(), QStringList{QStringLiteral("Pobieram 0.2.56")});
        QVERIFY(!app.updateWindow());

        writeUpdateStatus("installing", "Instaluję 0.2.56");
        app.presentUpdateProgressIfNeeded();
        app.presentUpdateProgressIfNeeded();
        QCOMPARE(desktop_->notificationTexts(),
                 (QStringList{QStringLiteral("Pobieram 0.2.56"), QStringLiteral("Instaluję 0.2.56")}));
        QVERIFY(app.updateWindow() && app.updateWindow()->isVisible());
        QCOMPARE(app.updateWindow()->findChild<QLabel*>(QStringLiteral("statusValue"))->text(),
                 QStringLiteral("Instaluję 0.2.56"));
    }

    void connectionIssueAnnouncedAgainAfterAClearCheck() {
        writeSettings("ACME");
        writeState(AgentConnectionIssue::invalidViewerToken, "Zły token.");
        auto& app = start(true);
        app.presentConnectionStatusIfNeeded();
        QCOMPARE(desktop_->notificationTexts(), QStringList{QStringLiteral("Zły token.")});
        writeState(std::nullopt, std::nullopt);
        app.presentConnectionStatusIfNeeded();
        writeState(AgentConnectionIssue::invalidViewerToken, "Zły token.");
        app.presentConnectionStatusIfNeeded();
        QCOMPARE(desktop_->notificationTexts(),
                 (QStringList{QStringLiteral("Zły token."), QStringLiteral("Zły token.")}));
    }

    void auditOutcomesReachTheUser() {
        writeSettings("ACME");
        auto& app = start(true);
        app.sendAuditNow();
        QTRY_COMPARE(desktop_->notificationTexts(), QStringList{QStringLiteral("Audyt został wysłany.")});

        audit([] { return AgentOperationOutcome::failure("Nie udało się wysłać audytu: brak sieci."); });
        app.sendAuditNow();
        QTRY_COMPARE(fixture_->alerts, QStringList{QStringLiteral(
                                           "Nie wysłano audytu: Nie udało się wysłać audytu: brak sieci.")});

        audit([] { return AgentOperationOutcome{}; });
        app.sendAuditNow();
        QTest::qWait(200);
        QCOMPARE(fixture_->alerts.size(), 1);
        QCOMPARE(desktop_->notifications.size(), std::size_t(1));
    }

    void textOfServersFilesAndLinksIsShownAsPlainText() {
        const QString hostile = QStringLiteral("<a href=\"https://evil.example/\">klik</a>"
                                               "<img src=\"file:///etc/passwd\">"
                                               "<b style=\"color:red;font-size:40px\">Pilne</b>") +
                                QString(100000, QLatin1Char('x'));
        // What the alert shows, read while it is open.
        QStringList richLabels;
        QString informative;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) {
                return;
            }
            for (const auto* label : box->findChildren<QLabel*>()) {
                if (!label->text().isEmpty() && label->textFormat() != Qt::PlainText) {
                    richLabels << label->objectName();
                }
            }
            if (const auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
                informative = label->text();
            }
            // For a look at the alert: KOVA_GUI_SCREENSHOTS=<directory>.
            if (const QString shots = qEnvironmentVariable("KOVA_GUI_SCREENSHOTS"); !shots.isEmpty()) {
                box->grab().save(shots + QStringLiteral("/alert-server-text.png"));
            }
            box->accept();
        });
        poll.start(20);
        dialogs::warning(nullptr, QStringLiteral("Nie wysłano audytu"), hostile);
        QCOMPARE(richLabels, QStringList{});
        QCOMPARE(informative.size(), 2000);
        QVERIFY(informative.startsWith(hostile.left(100)));

        // The daemon's message in the menu: an "&" is shown, not taken as a mnemonic.
        ViewerState state;
        state.connectionMessage = "Serwer A&B nie odpowiada.";
        QCOMPARE(statusMenuItems(state).front().title, QStringLiteral("Serwer A&&B nie odpowiada."));
    }

    void rustDeskLinksNeverHoldTheSharedThreadPool() {
        writeSettings("ACME");
        const auto rustDesk = rustDeskPrimaryExecutable();
        fixture_->root.write(rustDesk, "#!/bin/sh\n");
        std::filesystem::permissions(rustDesk, std::filesystem::perms::owner_all);
        // Every RustDesk keeps running until the test lets it end, whatever the outcome.
        std::promise<void> end;
        const std::shared_future<void> ended = end.get_future().share();
        const int sharedThreads = QThreadPool::globalInstance()->maxThreadCount();
        const auto release = qScopeGuard([&end, sharedThreads] {
            end.set_value();
            QThreadPool::globalInstance()->setMaxThreadCount(sharedThreads);
        });
        const auto running = std::make_shared<std::atomic<int>>(0);
        fixture_->runner->addHandler(rustDesk.string(), [running, ended](const ProcessSpec&) {
            ++*running;
            ended.wait();
            ProcessResult result;
            result.launched = true;
            result.exitStatus = 0;
            return result;
        });
        auto& app = start(true);
        QThreadPool::globalInstance()->setMaxThreadCount(2);
        for (int link = 0; link < 4; ++link) {
            app.openUrls(
                {QUrl(QStringLiteral("kovadesk-rustdesk://c?id=abc-%1&server=a&relay=b").arg(link))});
        }
        QTRY_COMPARE(running->load(), 4);
        // The shared pool is free: other background work still runs at once.
        QTRY_COMPARE(QThreadPool::globalInstance()->activeThreadCount(), 0);
        const auto other = QtConcurrent::run([] { return 7; });
        QTRY_VERIFY(other.isFinished());
    }

    void updateCheckWritesTheRequestAndQueuedStatus() {
        writeSettings("ACME");
        auto& app = start(true);
        app.checkUpdatesNow();
        QVERIFY(std::filesystem::exists(ViewerUpdateCoordinator::requestPath()));
        QCOMPARE(ViewerUpdateCoordinator::readStatus()->phase, std::string("queued"));
        QVERIFY(app.updateWindow()->pollTimer()->isActive());
        QCOMPARE(desktop_->notificationTexts().back(), QStringLiteral("Zlecono sprawdzenie aktualizacji."));

        // A runtime directory that cannot be made gives the failed status and an alert.
        std::filesystem::remove_all(ViewerUpdateCoordinator::runtimeDirectory());
        fixture_->root.write(ViewerUpdateCoordinator::runtimeDirectory(), "not a directory");
        app.checkUpdatesNow();
        QCOMPARE(fixture_->alerts.size(), 1);
        QVERIFY(fixture_->alerts[0].startsWith(
            QStringLiteral("Nie można sprawdzić aktualizacji: Nie udało się sprawdzić")));
        QVERIFY(app.updateWindow()
                    ->findChild<QLabel*>(QStringLiteral("statusValue"))
                    ->text()
                    .startsWith(QStringLiteral("Nie udało się zlecić aktualizację")));
    }
};

QTEST_MAIN(MenuBarAppTest)
#include "MenuBarAppTest.moc"
