#include "GuiFixture.hpp"
#include "menubar/status/StatusWindowController.hpp"
#include "menubar/ui/BundleResources.hpp"
#include "menubar/ui/FeedbackButton.hpp"
#include "menubar/ui/ViewerTheme.hpp"
#include "menubar/ui/ViewerWidgets.hpp"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace kova;
using namespace kova::menubar;
using kova::test::findWidget;

namespace {

// moc reads this file too and trips over raw strings, so files are written
// from their records.
ViewerState failingState() {
    ViewerState state;
    state.connectionIssue = AgentConnectionIssue::invalidViewerToken;
    state.connectionMessage = "Serwer odrzucił token firmy.";
    return state;
}

ViewerState registeredState() {
    ViewerState state;
    state.supportId = "SUP-1";
    state.deviceUid = "UID-1";
    state.hostname = "mac-anna";
    return state;
}

// Types text the way a keyboard does, also for Polish letters.
void type(QWidget* widget, const QString& text) {
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &press);
    }
}

} // namespace

class StatusWindowTest : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<test::GuiFixture> fixture_;
    test::FakeDesktop* desktop_ = nullptr;
    std::unique_ptr<StatusWindowController> window_;
    int audits_ = 0;

    StatusWindowController& open(const std::string& token) {
        test::writeSettings(token, "https://desk.example.org/", false);
        StatusWindowHandlers handlers;
        handlers.audit = [this] { ++audits_; };
        fixture_->model.reload();
        window_ = std::make_unique<StatusWindowController>(fixture_->model, handlers, *desktop_,
                                                           platform::systemFacts(), fixture_->helpdesk);
        window_->show();
        return *window_;
    }
    template <typename T> T* find(const char* name) { return findWidget<T>(window_.get(), name); }

private Q_SLOTS:
    void initTestCase() {
        // Before the first time is formatted: the zone is read once.
        qputenv("TZ", "Europe/Warsaw");
        qputenv("LC_ALL", "pl_PL.UTF-8");
    }
    void init() {
        fixture_ = std::make_unique<test::GuiFixture>();
        desktop_ = &fixture_->desktop;
    }
    void cleanup() {
        window_.reset();
        fixture_.reset();
    }

    void gridBindsTextsColoursAndAccessibleValues() {
        failingState().save();
        auto& window = open("  ACME  ");
        auto* status = find<QLabel>("statusValue");
        QCOMPARE(status->text(), QStringLiteral("Serwer odrzucił token firmy."));
        QCOMPARE(status->palette().color(QPalette::WindowText), ViewerTheme::systemRed);
        QCOMPARE(status->accessibleName(), QStringLiteral("Status"));
        QCOMPARE(status->accessibleDescription(), status->text());
        QCOMPARE(find<QLabel>("supportIdValue")->text(), QStringLiteral("ID oczekuje na rejestrację"));
        QCOMPARE(find<QLineEdit>("serverField")->text(), QStringLiteral("https://desk.example.org"));
        QCOMPARE(find<QLineEdit>("tokenField")->text(), QStringLiteral("ACME"));
        QCOMPARE(find<QLineEdit>("tokenField")->accessibleName(), QStringLiteral("Skrót firmy / token"));
        QVERIFY(!find<QCheckBox>("notificationAppToggle")->isChecked());

        registeredState().save();
        window.refreshFromDisk();
        QCOMPARE(status->text(), QStringLiteral("Zarejestrowany"));
        QCOMPARE(status->palette().color(QPalette::WindowText), ViewerTheme::tealDark);
        QCOMPARE(find<QLabel>("supportIdValue")->accessibleDescription(), QStringLiteral("SUP-1"));
        QCOMPARE(find<QLabel>("hostnameValue")->text(), QStringLiteral("mac-anna"));

        QTest::mouseClick(find<FeedbackButton>("forceAuditButton"), Qt::LeftButton);
        QCOMPARE(audits_, 1);
    }

    void refreshSkipsTheFieldBeingEdited() {
        auto& window = open("ACME");
        window.selectTab(StatusTab::settings);
        auto* token = find<QLineEdit>("tokenField");
        token->setFocus();
        QTRY_VERIFY(token->hasFocus());
        token->clear();
        type(token, QStringLiteral("ŻÓŁW"));
        registeredState().save();
        window.refreshFromDisk();
        QCOMPARE(token->text(), QStringLiteral("ŻÓŁW"));
        QCOMPARE(find<QLabel>("statusValue")->text(), QStringLiteral("Zarejestrowany"));

        find<FeedbackButton>("settingsTabButton")->setFocus();
        QTRY_VERIFY(!token->hasFocus());
        window.refreshFromDisk();
        QCOMPARE(token->text(), QStringLiteral("ACME"));
        QCOMPARE(window.refreshTimer()->interval(), 2000);
        QVERIFY(window.refreshTimer()->isActive());
    }

    void headerImageAndDatesFollowTheBundleAndTheLocale() {
        // The first image that loads, in the bundle's order; the icns needs a
        // plugin this Qt lacks, so its PNG follows.
        QTemporaryDir resources;
        const auto write = [&](const char* name, const QColor& colour) {
            QImage image(64, 48, QImage::Format_ARGB32);
            image.fill(colour);
            QVERIFY(image.save(resources.filePath(QString::fromLatin1(name)), "PNG"));
        };
        const auto colourOf = [&] { return applicationImage(resources.path()).pixelColor(0, 0); };
        QVERIFY(applicationImage(resources.path()).isNull());
        QFile icns(resources.filePath(QStringLiteral("AppIcon.icns")));
        QVERIFY(icns.open(QIODevice::WriteOnly) && icns.write("icns") == 4);
        icns.close();
        write("AppIcon.png", Qt::blue);
        QCOMPARE(colourOf(), QColor(Qt::blue));
        write("PortalLogo.png", Qt::red);
        QCOMPARE(colourOf(), QColor(Qt::red));

        // Drawn filling the 44-point circle, cut to it.
        QImage red(64, 48, QImage::Format_ARGB32);
        red.fill(Qt::red);
        const QImage drawn = circularPixmap(red, 44, 2.0).toImage();
        QCOMPARE(drawn.size(), QSize(88, 88));
        for (const QPoint inside : {QPoint(44, 44), QPoint(3, 44), QPoint(44, 84)}) {
            QCOMPARE(drawn.pixelColor(inside), QColor(Qt::red));
        }
        QCOMPARE(drawn.pixelColor(2, 2).alpha(), 0);

        // Times in the medium styles of the user's language and zone.
        ViewerState state;
        state.lastInventoryAt = Timestamp(std::chrono::seconds(1796833042));
        state.save();
        open("ACME");
        QCOMPARE(find<QLabel>("lastInventoryValue")->text(), QStringLiteral("9 gru 2026, 17:17:22"));
        QCOMPARE(find<QLabel>("lastHeartbeatValue")->text(), QStringLiteral("-"));
    }

    void tabsShowOneViewAndFollowTheToken() {
        auto& window = open("");
        window.focusInitialField(window.currentSettings());
        QCOMPARE(window.selectedTab(), StatusTab::settings);
        QVERIFY(find<QWidget>("settingsTab")->isVisible());
        QVERIFY(!find<QWidget>("statusTab")->isVisible());
        QTRY_VERIFY(find<QLineEdit>("tokenField")->hasFocus());
        QCOMPARE(find<FeedbackButton>("settingsTabButton")->currentColours().normalBackground,
                 ViewerTheme::tealSoft);
        QCOMPARE(find<FeedbackButton>("statusTabButton")->currentColours().normalBackground,
                 ViewerTheme::field);
        QTRY_COMPARE(find<QLabel>("notificationPermissionValue")->text(),
                     QStringLiteral("Powiadomienia są wyłączone w aplikacji."));

        QTest::mouseClick(find<FeedbackButton>("customerPanelTabButton"), Qt::LeftButton);
        QCOMPARE(window.selectedTab(), StatusTab::customerPanel);
        QVERIFY(find<QWidget>("customerPanelTab")->isVisible());
        QTest::mouseClick(find<FeedbackButton>("openCustomerPortalButton"), Qt::LeftButton);
        QCOMPARE(desktop_->opened.size(), std::size_t(1));
        QCOMPARE(desktop_->opened[0].toString(), QStringLiteral("https://desk.example.org/customer/tickets"));
        window.openCustomerPortal(QStringLiteral("  T-9 "));
        QCOMPARE(desktop_->opened[1].toString(),
                 QStringLiteral("https://desk.example.org/customer/tickets/T-9"));

        window.toggleFullScreen();
        QTRY_VERIFY(window.isFullScreen());
        const QSize fullScreen = window.size();
        window.selectTab(StatusTab::ticket);
        window.selectTab(StatusTab::status);
        QCOMPARE(window.size(), fullScreen);
    }
};

QTEST_MAIN(StatusWindowTest)
#include "StatusWindowTest.moc"
