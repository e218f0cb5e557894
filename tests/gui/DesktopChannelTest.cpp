#include "menubar/platform/linux/LinuxDesktop.hpp"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <cstdlib>
#include <future>

using namespace kova::menubar;

// The Linux desktop: its wake channel's place, notification bodies, the display.
class DesktopChannelTest : public QObject {
    Q_OBJECT

    // A later instance blocks until the running one answers, so it runs
    // beside the event loop the running one answers from.
    template <class Send> static bool delivered(Send send) {
        auto answer = std::async(std::launch::async, send);
        while (answer.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
            QTest::qWait(10);
        }
        return answer.get();
    }

private Q_SLOTS:
    void laterInstancesReachTheRunningOneInTheRuntimeDirectory() {
        QTemporaryDir runtime;
        ::setenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit().constData(), 1);
        QVERIFY(QString::fromStdString(wakeSocketPath()).startsWith(runtime.path() + u'/'));
        const QUrl link(QStringLiteral("kovadesk-rustdesk://c?id=abc&consultant_name=Anna%20N%C3%B3w"));
        QVERIFY(!desktop::postShowRunningApplication());
        QVERIFY(!desktop::postOpenUrlToRunningApplication(link));

        LinuxDesktop first;
        QSignalSpy shown(&first, &Desktop::showRequested);
        QSignalSpy opened(&first, &Desktop::openUrlRequested);
        QVERIFY(first.listenForShowRequests());
        // A second listener must not take the address from a live one.
        LinuxDesktop second;
        QVERIFY(!second.listenForShowRequests());

        QVERIFY(delivered([] { return desktop::postShowRunningApplication(); }));
        QTRY_COMPARE(shown.count(), 1);
        QVERIFY(delivered([&link] { return desktop::postOpenUrlToRunningApplication(link); }));
        QTRY_COMPARE(opened.count(), 1);
        QCOMPARE(opened.front().front().toUrl(), link);
        ::unsetenv("XDG_RUNTIME_DIR");
    }

    void notificationBodiesReachTheServerAsText() {
        const QString hostile =
            QStringLiteral("<a href=\"https://x\">klik</a> & <img src=\"file:///etc/passwd\">");
        QCOMPARE(notificationBody(hostile, true),
                 QStringLiteral("&lt;a href=\"https://x\"&gt;klik&lt;/a&gt; &amp; "
                                "&lt;img src=\"file:///etc/passwd\"&gt;"));
        QCOMPARE(notificationBody(hostile, false), hostile);
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
