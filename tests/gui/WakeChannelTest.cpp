#include "menubar/platform/darwin/WakeChannel.hpp"

#include <QLocalServer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

using namespace kova::menubar;
using namespace std::chrono_literals;

// The Mac's wake channel: a request counts as delivered only when the
// running instance answered it.
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

    void onlyTheUsersOwnClosedFolderIsPrivate() {
        QTemporaryDir folder;
        const auto own = folder.filePath(QStringLiteral("own")).toStdString();
        QCOMPARE(::mkdir(own.c_str(), 0700), 0);
        QVERIFY(wake::isPrivateDirectory(own));
        QVERIFY(wake::isPrivateDirectory(own + "/"));
        QCOMPARE(::chmod(own.c_str(), 0755), 0);
        QVERIFY(!wake::isPrivateDirectory(own));
        QCOMPARE(::chmod(own.c_str(), 0700), 0);
        const auto link = folder.filePath(QStringLiteral("link")).toStdString();
        QCOMPARE(::symlink(own.c_str(), link.c_str()), 0);
        QVERIFY(!wake::isPrivateDirectory(link));
        QVERIFY(!wake::isPrivateDirectory(folder.filePath(QStringLiteral("missing")).toStdString()));
    }
};

QTEST_GUILESS_MAIN(WakeChannelTest)
#include "WakeChannelTest.moc"
