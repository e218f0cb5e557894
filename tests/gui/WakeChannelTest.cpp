#include "menubar/platform/WakeChannel.hpp"
#include "menubar/platform/UserPrivateDirectory.hpp"
#include "support/TempRoot.hpp"

#include <QLocalServer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kova::menubar;
using namespace std::chrono_literals;

namespace {
constexpr uid_t nobody = 65534;
}

// The wake channel between instances of one user: a request counts as
// delivered only when the running instance answered it, and only processes
// of that user meet on it.
class WakeChannelTest : public QObject {
    Q_OBJECT

    // The sender blocks until answered, so it runs beside the event loop
    // the listener answers from.
    static bool send(const std::string& path, const std::string& request,
                     std::chrono::milliseconds timeout = 2s) {
        auto answer =
            std::async(std::launch::async, [=] { return wake::sendRequest(path, request, timeout); });
        while (answer.wait_for(0ms) != std::future_status::ready) {
            QTest::qWait(10);
        }
        return answer.get();
    }

private Q_SLOTS:
    void requestsAreAcknowledgedOnlyWhenTaken() {
        QTemporaryDir folder;
        const auto path = folder.filePath(QStringLiteral("wake")).toStdString();
        QVERIFY(!send(path, wake::showRequest())); // nobody listens

        wake::Listener running;
        QSignalSpy shown(&running, &wake::Listener::showRequested);
        QSignalSpy opened(&running, &wake::Listener::openUrlRequested);
        QVERIFY(running.listen(path));
        wake::Listener second; // must not take the address from a live one
        QVERIFY(!second.listen(path));

        QVERIFY(send(path, wake::showRequest()));
        QTRY_COMPARE(shown.count(), 1);

        const QUrl link(QStringLiteral("kovadesk-rustdesk://c?id=abc&consultant_name=Anna%20N%C3%B3w"));
        const auto request = wake::openRequest(link);
        QVERIFY(request);
        QVERIFY(send(path, *request));
        QTRY_COMPARE(opened.count(), 1);
        QCOMPARE(opened.at(0).at(0).toUrl(), link);

        // Not a request: no answer, nothing emitted. A sender that never
        // finishes its line is dropped, and answered nothing either.
        QVERIFY(!send(path, "open not a url\n"));
        QVERIFY(!send(path, "reboot\n"));
        QVERIFY(!send(path, "show", 3s));
        QTest::qWait(50);
        QCOMPARE(shown.count(), 1);
        QCOMPARE(opened.count(), 1);
        QVERIFY(!wake::openRequest(QUrl(QStringLiteral("kovadesk-rustdesk://c?id=") + QString(9000, u'a'))));
    }

    void aListenerThatNeverAnswersIsNoDelivery() {
        QTemporaryDir folder;
        const auto path = folder.filePath(QStringLiteral("wake"));
        QLocalServer silent;
        QVERIFY(silent.listen(path));
        QVERIFY(!send(path.toStdString(), wake::showRequest(), 300ms));
    }

    void onlyTheUsersOwnFolderClosedToWritersIsPrivate() {
        QTemporaryDir folder;
        const auto own = folder.filePath(QStringLiteral("own")).toStdString();
        QCOMPARE(::mkdir(own.c_str(), 0700), 0);
        QVERIFY(isPrivateDirectory(own));
        QCOMPARE(::chmod(own.c_str(), 0775), 0);
        QVERIFY(!isPrivateDirectory(own));
        QCOMPARE(::chmod(own.c_str(), 0700), 0);
        const auto link = folder.filePath(QStringLiteral("link")).toStdString();
        QCOMPARE(::symlink(own.c_str(), link.c_str()), 0);
        QVERIFY(!isPrivateDirectory(link));
        QVERIFY(!isPrivateDirectory(folder.filePath(QStringLiteral("missing")).toStdString()));
    }

    void onlyThisUsersProcessesMeetOnTheChannel() {
        if (::geteuid() != 0) {
            QSKIP("another user's processes need root to start");
        }
        kova::test::TempRoot root; // the refusals are logged there
        // Open to others for traversal only, so another user can reach a
        // socket made reachable below but still not create anything there.
        QTemporaryDir folder;
        QVERIFY(::chmod(folder.path().toLocal8Bit().constData(), 0711) == 0);
        const auto path = folder.filePath(QStringLiteral("wake")).toStdString();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        const QUrl link(QStringLiteral("kovadesk-rustdesk://c?id=abc&server=a&relay=b&key=secret"));

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
        QVERIFY(!wake::sendRequest(path, wake::showRequest(), 2s));
        QVERIFY(!wake::sendRequest(path, *wake::openRequest(link), 2s));
        std::size_t heard = 1;
        QCOMPARE(::read(report[0], &heard, sizeof heard), ssize_t(sizeof heard));
        QCOMPARE(heard, std::size_t(0));
        ::close(report[0]);
        ::waitpid(listener, nullptr, 0);
        ::unlink(path.c_str());

        // The running instance refuses a connection of another user, and still serves its own.
        wake::Listener running;
        QSignalSpy shown(&running, &wake::Listener::showRequested);
        QVERIFY(running.listen(path));
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
                // 'C' once the instance has closed the connection unanswered.
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
        ::waitpid(stranger, nullptr, 0);
        QCOMPARE(outcome, 'C');
        QCOMPARE(shown.count(), 0);
        QVERIFY(send(path, wake::showRequest()));
        QTRY_COMPARE(shown.count(), 1);
    }
};

QTEST_GUILESS_MAIN(WakeChannelTest)
#include "WakeChannelTest.moc"
