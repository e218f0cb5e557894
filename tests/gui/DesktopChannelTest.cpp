#include "menubar/platform/linux/LinuxDesktop.hpp"
#include "support/TempRoot.hpp"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kova::menubar;

namespace {
constexpr uid_t nobody = 65534;
}

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

    void onlyThisUsersProcessesMeetOnTheChannel() {
        if (::geteuid() != 0) {
            QSKIP("another user's processes need root to start");
        }
        kova::test::TempRoot root; // the refusals are logged there
        // Open to others for traversal only, so another user can reach a
        // socket made reachable below but still not create anything there.
        QTemporaryDir runtime;
        QVERIFY(::chmod(runtime.path().toLocal8Bit().constData(), 0711) == 0);
        ::setenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit().constData(), 1);
        const auto path = wakeSocketPath();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

        // Another user listens first (on an address bound for it): it hears nothing.
        const int listening = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        QVERIFY(::bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0);
        int report[2];
        QVERIFY(::pipe(report) == 0);
        const pid_t listener = ::fork();
        if (listener == 0) {
            // A client sees the credentials of the process that called listen().
            if (::setresgid(nobody, nobody, nobody) != 0 || ::setresuid(nobody, nobody, nobody) != 0 ||
                ::listen(listening, 4) != 0) {
                ::_exit(1);
            }
            char byte = 'L';
            [[maybe_unused]] auto ready = ::write(report[1], &byte, 1);
            std::size_t heard = 0;
            for (int connection = 0; connection < 2; ++connection) {
                pollfd waiting{listening, POLLIN, 0};
                if (::poll(&waiting, 1, 3000) != 1) {
                    break;
                }
                const int peer = ::accept(listening, nullptr, nullptr);
                char buffer[256];
                for (ssize_t n; (n = ::read(peer, buffer, sizeof buffer)) > 0;) {
                    heard += static_cast<std::size_t>(n);
                }
                ::close(peer);
            }
            [[maybe_unused]] auto told = ::write(report[1], &heard, sizeof heard);
            ::_exit(0);
        }
        ::close(listening);
        ::close(report[1]);
        char ready = 0;
        QCOMPARE(::read(report[0], &ready, 1), ssize_t(1));
        QVERIFY(!desktop::postShowRunningApplication());
        QVERIFY(!desktop::postOpenUrlToRunningApplication(
            QUrl(QStringLiteral("kovadesk-rustdesk://c?id=abc&server=a&relay=b&key=secret"))));
        std::size_t heard = 1;
        QCOMPARE(::read(report[0], &heard, sizeof heard), ssize_t(sizeof heard));
        QCOMPARE(heard, std::size_t(0));
        ::close(report[0]);
        ::waitpid(listener, nullptr, 0);
        ::unlink(path.c_str());

        // The running instance refuses a connection of another user, and still serves its own.
        LinuxDesktop running;
        QSignalSpy shown(&running, &Desktop::showRequested);
        QVERIFY(running.listenForShowRequests());
        QVERIFY(::chmod(path.c_str(), 0777) == 0);
        int told[2];
        QVERIFY(::pipe2(told, O_NONBLOCK) == 0);
        const pid_t stranger = ::fork();
        if (stranger == 0) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            char outcome = 'F';
            if (::setresgid(nobody, nobody, nobody) == 0 && ::setresuid(nobody, nobody, nobody) == 0 &&
                ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                ::write(fd, "show\n", 5) == 5) {
                // 'C' once the instance has closed the connection.
                char byte;
                pollfd closing{fd, POLLIN, 0};
                outcome = ::poll(&closing, 1, 5000) == 1 && ::read(fd, &byte, 1) <= 0 ? 'C' : 'O';
            }
            [[maybe_unused]] auto sent = ::write(told[1], &outcome, 1);
            ::_exit(0);
        }
        ::close(told[1]);
        char outcome = 0;
        QTRY_VERIFY(outcome != 0 || ::read(told[0], &outcome, 1) == 1);
        ::close(told[0]);
        ::waitpid(stranger, nullptr, WNOHANG);
        QCOMPARE(outcome, 'C');
        QCOMPARE(shown.count(), 0);
        QVERIFY(desktop::postShowRunningApplication());
        QTRY_COMPARE(shown.count(), 1);
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
