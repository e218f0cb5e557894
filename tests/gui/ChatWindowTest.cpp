#include "GuiFixture.hpp"
#include "chat/RemoteChatStore.hpp"
#include "menubar/chat/ChatInputTextView.hpp"
#include "menubar/chat/ChatWindowRules.hpp"
#include "menubar/ui/QtText.hpp"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QThreadPool>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

using namespace kova;
using namespace kova::menubar;

namespace {

// 2026-01-10 09:05:00 UTC.
constexpr Timestamp morning{std::chrono::seconds{1768035900}};

// Written by name, so the order of the files is the test's, not the clock's.
void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

void writeIncoming(const std::string& name, const std::string& publicId, const std::string& sender,
                   const std::string& text, Timestamp createdAt = morning) {
    const RemoteChatMessage message{"ID" + name, publicId, "incoming", sender, text, createdAt};
    writeFile(RemoteChatStore::directory() / (name + ".incoming.json"), prettyJson(message.toJson()));
}

void pressReturn(QWidget* input, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTest::keyClick(input, Qt::Key_Return, modifiers);
}

} // namespace

class ChatWindowTest : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<test::GuiFixture> fixture_;

    KovaViewerMenuBarApp& app() {
        if (!fixture_->app) {
            // The files are written by this test, not by the daemon.
            fixture_->chatFileOwner = ::geteuid();
            fixture_->start(true, false);
        }
        return *fixture_->app;
    }

    // Sends what the input holds with Return and waits for the outcome.
    static void sendAndWait(ChatWindowController* window, const QString& text) {
        window->inputField()->setPlainText(text);
        pressReturn(window->inputField());
        QVERIFY(window->inputField()->toPlainText().isEmpty());
        QTRY_VERIFY(window->sendButton()->isEnabled());
    }

private Q_SLOTS:
    void initTestCase() {
        // Three hours east of UTC, without needing zone data.
        qputenv("TZ", "KVT-3");
        tzset();
    }
    void init() { fixture_ = std::make_unique<test::GuiFixture>(); }
    void cleanup() { fixture_.reset(); }

    void incomingFilesBecomeOneWindowPerConversation() {
        writeIncoming("s1.1000.a", "s1", "Anna", "Dzień dobry");
        writeIncoming("s1.1001.b", "s1", "", "Proszę zrestartować");
        writeIncoming("s2.1000.a", "s2", "Jan", "Inna rozmowa");
        writeFile(RemoteChatStore::directory() / "s1.1002.c.incoming.json", "{not json");
        // A link planted in the shared directory is never followed.
        const auto secret = fixture_->root.path() / "secret.json";
        writeFile(secret,
                  prettyJson(RemoteChatMessage{"L", "s3", "incoming", "Ewa", "link", morning}.toJson()));
        std::filesystem::create_symlink(secret, RemoteChatStore::directory() / "s3.1000.a.incoming.json");

        app().checkChatNow();
        QCOMPARE(app().chatWindowCount(), std::size_t{2});
        auto* window = app().chatWindow("s1");
        QVERIFY(window && window->isVisible());
        QCOMPARE(window->windowTitle(), QStringLiteral("Sekwo Tarnvik - Czat"));
        QCOMPARE(window->transcriptView()->toPlainText(),
                 QStringLiteral("[12:05] Anna: Dzień dobry\n[12:05] Konsultant: Proszę zrestartować\n"));
        QVERIFY(RemoteChatStore::incomingMessageFiles().empty());
        QVERIFY(std::filesystem::exists(secret));
        QVERIFY(!app().chatWindow("s3"));

        // Closing keeps the conversation; its next message brings it back whole.
        window->close();
        QVERIFY(!window->isVisible());
        writeIncoming("s1.2000.a", "s1", "Anna", "Jeszcze jedno", morning + std::chrono::minutes(70));
        app().checkChatNow();
        QCOMPARE(app().chatWindow("s1"), window);
        QVERIFY(window->isVisible());
        QVERIFY(window->transcriptView()->toPlainText().endsWith(
            QStringLiteral("Proszę zrestartować\n[13:15] Anna: Jeszcze jedno\n")));
    }

    void theWorkOfAPassIsBoundedWhateverTheDirectoryHolds() {
        const auto incoming = [] { return RemoteChatStore::incomingMessageFiles().size(); };
        constexpr std::size_t planted = 60;
        for (std::size_t i = 0; i < planted; ++i) {
            const auto id = "c" + std::to_string(100 + i);
            writeIncoming(id + ".1000.a", id, "Anna", "Witam");
        }
        // One pass takes a bounded number of files; the rest wait on disk.
        app().checkChatNow();
        QCOMPARE(incoming(), planted - ChatLimits::filesPerPass);
        QCOMPARE(app().chatWindowCount(), ChatLimits::conversations);
        // With every window open, further conversations are dropped, not opened.
        while (incoming() > 0) {
            app().checkChatNow();
        }
        QCOMPARE(app().chatWindowCount(), ChatLimits::conversations);
        // A closed window gives way to a new conversation.
        app().chatWindow("c100")->close();
        writeIncoming("d.1000.a", "d", "Anna", "Nowa rozmowa");
        app().checkChatNow();
        QVERIFY(!app().chatWindow("c100"));
        auto* window = app().chatWindow("d");
        QVERIFY(window && window->isVisible());
        QCOMPARE(app().chatWindowCount(), ChatLimits::conversations);

        // A message of a megabyte without a line break is shown cut.
        writeIncoming("d.2000.a", "d", std::string(5000, 's'), std::string(900 * 1024, 'x'));
        app().checkChatNow();
        const QStringList shown = window->transcriptView()->toPlainText().split(QLatin1Char('\n'));
        QCOMPARE(shown.size(), 3);
        QCOMPARE(shown[1].count(QLatin1Char('s')), ChatLimits::shownSenderLength - 1);
        QCOMPARE(shown[1].count(QLatin1Char('x')), ChatLimits::shownTextLength - 1);
        QVERIFY(shown[1].endsWith(QChar(0x2026)));
        if (const QString shots = qEnvironmentVariable("KOVA_GUI_SCREENSHOTS"); !shots.isEmpty()) {
            window->grab().save(shots + QStringLiteral("/chat-window-long-message.png"));
        }
        // A pass stops once it has read its share of bytes: three such messages, not four.
        for (int i = 0; i < 4; ++i) {
            writeIncoming("d.25" + std::to_string(i) + ".a", "d", "Anna", std::string(900 * 1024, 'y'));
        }
        app().checkChatNow();
        QCOMPARE(incoming(), std::size_t(1));
        app().checkChatNow();
        // A transcript keeps its newest lines only.
        std::string lines;
        for (int i = 0; i < 40; ++i) {
            lines += "linia " + std::to_string(i) + "\n";
        }
        for (int i = 0; i < 20; ++i) {
            writeIncoming("d.3" + std::to_string(100 + i) + ".a", "d", "Anna",
                          lines + "koniec " + std::to_string(i));
        }
        app().checkChatNow();
        const QString transcript = window->transcriptView()->toPlainText();
        QVERIFY(transcript.count(QLatin1Char('\n')) < ChatLimits::transcriptLines);
        QVERIFY(transcript.endsWith(QStringLiteral("linia 39\nkoniec 19\n")));
    }

    void returnSendsShiftReturnBreaksLineAndBlankIsKept() {
        writeIncoming("s1.1000.a", "s1", "Anna", "Witam");
        app().checkChatNow();
        auto* window = app().chatWindow("s1");
        auto* input = window->inputField();
        int sends = 0;
        input->onSend = [&sends] { ++sends; };

        input->setPlainText(QStringLiteral("pierwsza"));
        input->moveCursor(QTextCursor::End);
        pressReturn(input, Qt::ShiftModifier);
        QKeyEvent letter(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QStringLiteral("ż"));
        QCoreApplication::sendEvent(input, &letter);
        QCOMPARE(input->toPlainText(), QStringLiteral("pierwsza\nż"));
        QCOMPARE(sends, 0);
        pressReturn(input);
        QCOMPARE(sends, 1);
        QCOMPARE(input->toPlainText(), QStringLiteral("pierwsza\nż"));

        // The real send: blank input is neither sent nor cleared.
        QPointer<ChatWindowController> self(window);
        input->onSend = [self] { self->sendCurrentMessage(); };
        const QString transcript = window->transcriptView()->toPlainText();
        input->setPlainText(QStringLiteral("  \n\t \n"));
        pressReturn(input);
        QCOMPARE(input->toPlainText(), QStringLiteral("  \n\t \n"));
        QVERIFY(window->sendButton()->isEnabled());
        QCOMPARE(window->transcriptView()->toPlainText(), transcript);
        QVERIFY(RemoteChatStore::outgoingMessageFiles().empty());
    }

    void failedRepliesAreLeftForTheDaemonWithANotice() {
        writeIncoming("sesja_7.1000.a", "sesja/7", "Anna", "Witam");
        app().checkChatNow();
        auto* window = app().chatWindow("sesja/7");
        QVERIFY(window);
        const auto sender = chatReplySender(platform::systemFacts()->localizedHostName());

        // No settings, then no device, then a server nobody answers on.
        sendAndWait(window, QStringLiteral("  bez konfiguracji \n"));
        test::writeSettings("ACME");
        sendAndWait(window, QStringLiteral("bez urządzenia"));
        ViewerState state;
        state.deviceUid = "DEV-1";
        state.save();
        sendAndWait(window, QStringLiteral("bez serwera"));

        const auto files = RemoteChatStore::outgoingMessageFiles();
        QCOMPARE(files.size(), std::size_t{3});
        const QStringList texts{QStringLiteral("bez konfiguracji"), QStringLiteral("bez urządzenia"),
                                QStringLiteral("bez serwera")};
        for (std::size_t i = 0; i < files.size(); ++i) {
            const auto message = RemoteChatStore::read(files[i]);
            QVERIFY(message);
            QCOMPARE(qtText(message->text), texts[static_cast<qsizetype>(i)]);
            QCOMPARE(message->direction, std::string("outgoing"));
            QCOMPARE(message->publicId, std::string("sesja/7"));
            QCOMPARE(message->sender, sender);
            const auto name = files[i].filename().string();
            QVERIFY(name.starts_with("sesja_7."));
            QVERIFY(name.ends_with("." + message->id + ".outgoing.json"));
        }
        // The notice is shown, never stored for anyone.
        QVERIFY(RemoteChatStore::incomingMessageFiles().empty());
        const QStringList lines = window->transcriptView()->toPlainText().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 8);
        QVERIFY(lines[1].endsWith(qtText(sender) + QStringLiteral(": bez konfiguracji")));
        for (const int notice : {2, 4, 6}) {
            QVERIFY(lines[notice].endsWith(QStringLiteral(
                "] System: Nie udalo sie wyslac od razu. Wiadomosc zostala zapisana do ponowienia.")));
        }
        // For a look at the window: KOVA_GUI_SCREENSHOTS=<directory>.
        if (const QString shots = qEnvironmentVariable("KOVA_GUI_SCREENSHOTS"); !shots.isEmpty()) {
            window->grab().save(shots + QStringLiteral("/chat-window.png"));
        }
        // Only the failed request itself counts as a connection problem.
        QVERIFY(ViewerState::load().connectionIssue.has_value());
    }

    void aReplyInFlightAtQuitIsLeftForTheDaemon() {
        // A helpdesk that never answers, so the send is still running at quit.
        std::atomic<bool> asked = false;
        fixture_->helpdesk->chat = [&asked](const AgentChatMessage&, StopToken stop) {
            asked = true;
            while (!stop.stop_requested()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            throw NetworkError(NetworkErrorCode::cancelled);
        };
        test::writeSettings("ACME");
        ViewerState state;
        state.deviceUid = "DEV-1";
        state.save();
        writeIncoming("s1.1000.a", "s1", "Anna", "Witam");
        app().checkChatNow();
        auto* window = app().chatWindow("s1");
        window->inputField()->setPlainText(QStringLiteral("w drodze"));
        pressReturn(window->inputField());
        QTRY_VERIFY(asked);
        app().applicationWillTerminate();
        QVERIFY(QThreadPool::globalInstance()->waitForDone(10000));
        const auto files = RemoteChatStore::outgoingMessageFiles();
        QCOMPARE(files.size(), std::size_t{1});
        QCOMPARE(RemoteChatStore::read(files[0])->text, std::string("w drodze"));
    }
};

QTEST_MAIN(ChatWindowTest)
#include "ChatWindowTest.moc"
