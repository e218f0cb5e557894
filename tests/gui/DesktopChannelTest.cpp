#include "menubar/platform/linux/LinuxDesktop.hpp"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>

using namespace kova::menubar;

// The wake channel between two instances of the same user.
class DesktopChannelTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void showRequestsReachTheListeningInstanceOnly() {
        QTemporaryDir runtime;
        ::setenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit().constData(), 1);
        QVERIFY(!desktop::postShowRunningApplication());

        LinuxDesktop first;
        QSignalSpy shown(&first, &Desktop::showRequested);
        QVERIFY(first.listenForShowRequests());
        // A second listener must not take the address from a live one.
        LinuxDesktop second;
        QVERIFY(!second.listenForShowRequests());

        QVERIFY(desktop::postShowRunningApplication());
        QTRY_COMPARE(shown.count(), 1);
        // A mere probe (connect without a request) shows nothing.
        QVERIFY(connectToWakeSocket(wakeSocketPath(), false));
        QTest::qWait(100);
        QCOMPARE(shown.count(), 1);
        ::unsetenv("XDG_RUNTIME_DIR");
    }

    void linksReachTheListeningInstanceWhole() {
        QTemporaryDir runtime;
        ::setenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit().constData(), 1);
        const QUrl link(QStringLiteral("kovadesk-rustdesk://c?id=abc&consultant_name=Anna%20N%C3%B3w"));
        QVERIFY(!desktop::postOpenUrlToRunningApplication(link));

        LinuxDesktop running;
        QSignalSpy opened(&running, &Desktop::openUrlRequested);
        QSignalSpy shown(&running, &Desktop::showRequested);
        QVERIFY(running.listenForShowRequests());
        QVERIFY(desktop::postOpenUrlToRunningApplication(link));
        QTRY_COMPARE(opened.count(), 1);
        QCOMPARE(opened.front().front().toUrl(), link);

        // A line past the bound, or one that is no link, opens nothing.
        QVERIFY(sendToWakeSocket(wakeSocketPath(), "open " + std::string(9000, 'a')));
        QVERIFY(sendToWakeSocket(wakeSocketPath(), "open ::not a link\n"));
        QTest::qWait(200);
        QCOMPARE(opened.count(), 1);
        QCOMPARE(shown.count(), 0);
        ::unsetenv("XDG_RUNTIME_DIR");
    }

    void graphicalSessionNeedsAReachableDisplay() {
        ::unsetenv("WAYLAND_DISPLAY");
        ::unsetenv("DISPLAY");
        QVERIFY(!desktop::hasGraphicalSession());
        ::setenv("DISPLAY", ":9173", 1);
        QVERIFY(!desktop::hasGraphicalSession());
        ::setenv("DISPLAY", "garbage", 1);
        QVERIFY(!desktop::hasGraphicalSession());
        ::unsetenv("DISPLAY");
    }
};

QTEST_GUILESS_MAIN(DesktopChannelTest)
#include "DesktopChannelTest.moc"
