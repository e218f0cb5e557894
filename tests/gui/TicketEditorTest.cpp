#include "menubar/ticket/TicketEditor.hpp"

#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineView>

using namespace kova::menubar;

namespace {

QVariant evaluate(QWebEngineView* view, const QString& script) {
    QVariant result;
    bool done = false;
    view->page()->runJavaScript(script, [&](const QVariant& value) {
        result = value;
        done = true;
    });
    if (!QTest::qWaitFor([&] { return done; }, 10000)) {
        qWarning("script did not answer: %s", qPrintable(script));
    }
    return result;
}

QString pageContent(QWebEngineView* view) {
    return evaluate(view, QStringLiteral("window.editor.getContent()")).toString();
}

} // namespace

// The editor module as the form loads it, in a real web engine page.
class TicketEditorTest : public QObject {
    Q_OBJECT
    QWidget window_;
    TicketEditor* editor_ = nullptr;
    QWebEngineView* view_ = nullptr;
    QStringList reported_;

private Q_SLOTS:
    void initTestCase() {
        auto* factory = ticketEditorFactory();
        QVERIFY(factory);
        editor_ = factory->createEditor(&window_, ticketEditorResourceDirectory());
        QVERIFY(editor_);
        editor_->widget()->setGeometry(0, 0, 700, 300);
        editor_->setOnContentChanged([this](const QString& html) { reported_.append(html); });
        bool ready = false;
        editor_->whenReady([&] { ready = true; });
        window_.resize(700, 300);
        window_.show();
        QTRY_VERIFY_WITH_TIMEOUT(ready, 60000);
        view_ = editor_->widget()->findChild<QWebEngineView*>();
        QVERIFY(view_);
        QCOMPARE(editor_->pendingHTML(), QString());
        QCOMPARE(pageContent(view_), QString());
    }

    void contentSetNativelyReachesThePageExactly() {
        const auto html = QStringLiteral("<p>Powiedział \"tak\" i C:\\dane\\raport</p>\n<p>druga linia</p>");
        editor_->setHtml(html);
        QCOMPARE(editor_->pendingHTML(), html);
        QTRY_COMPARE_WITH_TIMEOUT(pageContent(view_), html, 10000);
        QCOMPARE(editor_->pendingHTML(), html);
    }

    void typingAndUndoReportTheContent() {
        editor_->setHtml(QString());
        QTRY_COMPARE_WITH_TIMEOUT(pageContent(view_), QString(), 10000);
        evaluate(view_, QStringLiteral("window.editor.focus()"));
        view_->setFocus();
        QWidget* target = view_->focusProxy() ? view_->focusProxy() : view_;
        QTest::keyClicks(target, QStringLiteral("abc"));
        QTRY_COMPARE_WITH_TIMEOUT(editor_->pendingHTML(), QStringLiteral("<p>abc</p>"), 10000);
        QCOMPARE(reported_.last(), QStringLiteral("<p>abc</p>"));
        QTest::keyClick(target, Qt::Key_Z, Qt::ControlModifier);
        QTRY_VERIFY_WITH_TIMEOUT(editor_->pendingHTML() != QStringLiteral("<p>abc</p>"), 10000);
        QCOMPARE(editor_->pendingHTML(), pageContent(view_));
    }

    void otherMessagesChangeNothing() {
        editor_->setHtml(QStringLiteral("<p>kept</p>"));
        reported_.clear();
        evaluate(view_,
                 QStringLiteral("window.webkit.messageHandlers.other.postMessage('<p>other</p>');"
                                "window.webkit.messageHandlers.contentChanged.postMessage(42);"
                                "window.webkit.messageHandlers.contentChanged.postMessage({a: 1});"
                                "window.webkit.messageHandlers.contentChanged.postMessage('<p>last</p>');"));
        // Messages arrive in order: only the last one is text under the name.
        QTRY_COMPARE_WITH_TIMEOUT(reported_, QStringList{QStringLiteral("<p>last</p>")}, 10000);
        QCOMPARE(editor_->pendingHTML(), QStringLiteral("<p>last</p>"));
    }

    void clearingEmptiesPendingHtmlAtOnce() {
        editor_->setHtml(QStringLiteral("<p>sent</p>"));
        QTRY_COMPARE_WITH_TIMEOUT(pageContent(view_), QStringLiteral("<p>sent</p>"), 10000);
        editor_->setHtml(QString());
        QCOMPARE(editor_->pendingHTML(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(pageContent(view_), QString(), 10000);
    }
};

QTEST_MAIN(TicketEditorTest)
#include "TicketEditorTest.moc"
