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
