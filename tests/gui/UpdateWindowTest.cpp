#include "menubar/ui/ViewerWidgets.hpp"
#include "menubar/update/UpdateWindowController.hpp"
#include "support/TempRoot.hpp"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using namespace kova;
using namespace kova::menubar;

class UpdateWindowTest : public QObject {
    Q_OBJECT
private:
    static QString value(QWidget& window, const char* name) {
        auto* label = window.findChild<QLabel*>(QString::fromLatin1(name));
        // The accessible description must follow the text for screen readers.
        return label->accessibleDescription() == label->text() ? label->text()
                                                               : QStringLiteral("<stale a11y>");
    }

private Q_SLOTS:
    void initTestCase() {
        // Before the first time is formatted: the zone is read once.
        qputenv("TZ", "Europe/Warsaw");
        qputenv("LC_ALL", "pl_PL.UTF-8");
    }

    void longValuesAreCutAtTheTailAndTimesShownInTheUsersStyle() {
        test::TempRoot root;
        const std::string version = "0.2.56-" + std::string(90, '9');
        ViewerUpdateCoordinator::writeStatus({"no_update", "Masz najnowszą wersję.", "0.2.55", version,
                                              Timestamp(std::chrono::seconds(1796833042)), std::nullopt});
        UpdateWindowController window([] {});
        window.showWindow();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* available = window.findChild<ElidedLabel*>(QStringLiteral("availableValue"));
        QCOMPARE(available->text(), QString::fromStdString(version));
        const QString shown = available->displayedText();
        QVERIFY2(shown.startsWith(QStringLiteral("0.2.56-99")) && shown.endsWith(QChar(0x2026)),
                 qPrintable(shown));
        QVERIFY(available->fontMetrics().horizontalAdvance(shown) <= available->contentsRect().width());
        auto* installed = window.findChild<ElidedLabel*>(QStringLiteral("versionValue"));
        QCOMPARE(installed->displayedText(), QStringLiteral("0.2.55"));
        QCOMPARE(value(window, "updatedAtValue"), QStringLiteral("9 gru 2026, 17:17:22"));
        // For a look at the window: KOVA_GUI_SCREENSHOTS=<directory>.
        if (const QString shots = qEnvironmentVariable("KOVA_GUI_SCREENSHOTS"); !shots.isEmpty()) {
            window.grab().save(shots + QStringLiteral("/update-window-long-values.png"));
        }
    }

    void rowsAndProgressFollowTheStatusFile() {
        test::TempRoot root;
        int checks = 0;
        UpdateWindowController window([&checks] { ++checks; });
        window.showWindow();
        auto* progress = window.findChild<QProgressBar*>(QStringLiteral("progress"));
        QCOMPARE(value(window, "statusValue"), QStringLiteral("Gotowy do sprawdzenia aktualizacji."));
        QCOMPARE(value(window, "versionValue"), QStringLiteral("0.2.55"));
        QCOMPARE(value(window, "availableValue"), QStringLiteral("-"));
        QVERIFY(!progress->isVisible());
        QVERIFY(!window.pollTimer()->isActive());

        window.beginChecking();
        QCOMPARE(ViewerUpdateCoordinator::readStatus()->phase, std::string("queued"));
        QCOMPARE(value(window, "statusValue"),
                 QStringLiteral("Zlecono sprawdzenie aktualizacji. Usługa systemowa zaraz je odbierze."));
        QVERIFY(progress->isVisible());
        QCOMPARE(window.pollTimer()->interval(), 1500);
        QVERIFY(window.pollTimer()->isActive());

        // The next tick shows what the daemon wrote in the meantime.
        ViewerUpdateCoordinator::writeStatus(
            {"no_update", "Masz najnowszą wersję.", "0.2.55", "0.2.55", nowSeconds(), std::nullopt});
        QTRY_COMPARE_WITH_TIMEOUT(value(window, "statusValue"), QStringLiteral("Masz najnowszą wersję."),
                                  4000);
        QCOMPARE(value(window, "availableValue"), QStringLiteral("0.2.55"));
        QVERIFY(!progress->isVisible());

        QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("checkNowButton")), Qt::LeftButton);
        QCOMPARE(checks, 1);
        QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("closeButton")), Qt::LeftButton);
        QVERIFY(!window.isVisible());
        ViewerUpdateCoordinator::writeStatus(
            {"installing", "Instaluję.", "0.2.55", "0.2.56", nowSeconds(), std::nullopt});
        window.showWindow();
        QCOMPARE(value(window, "statusValue"), QStringLiteral("Instaluję."));
        QVERIFY(progress->isVisible());
    }
};

QTEST_MAIN(UpdateWindowTest)
#include "UpdateWindowTest.moc"
