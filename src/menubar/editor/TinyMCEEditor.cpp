#include "menubar/editor/TinyMCEEditor.hpp"

#include "menubar/editor/EditorPage.hpp"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineView>

namespace kova::menubar {
namespace {

// The page posts like a WebKit script-message page
// (window.webkit.messageHandlers.<name>.postMessage(body)); here every name
// reaches the one bridge object with the name beside the body. Messages
// posted before the channel is up are queued.
constexpr char bridgeScript[] = R"(
(function () {
    var queue = [], bridge = null;
    function send(name, body) {
        if (bridge) { bridge.post(name, body); } else { queue.push([name, body]); }
    }
    window.webkit = { messageHandlers: new Proxy({}, {
        get: function (target, name) { return { postMessage: function (body) { send(String(name), body); } }; }
    }) };
    new QWebChannel(qt.webChannelTransport, function (channel) {
        bridge = channel.objects.scriptMessages;
        queue.forEach(function (m) { bridge.post(m[0], m[1]); });
        queue = [];
    });
})();
)";

QString webChannelScript() {
    QFile file(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll());
}

} // namespace

TinyMCEEditor::TinyMCEEditor(const QString& resourceDirectory, QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("ticketDescriptionEditor"));
    // No storage name: an off-the-record profile.
    profile_ = std::make_unique<QWebEngineProfile>();
    page_ = std::make_unique<QWebEnginePage>(profile_.get());
    bridge_ = new ScriptMessageBridge(
        [this](const QString& name, const QVariant& body) { didReceiveScriptMessage(name, body); }, this);
    channel_ = new QWebChannel(this);
    channel_->registerObject(QStringLiteral("scriptMessages"), bridge_);
    page_->setWebChannel(channel_);

    QWebEngineScript script;
    script.setName(QStringLiteral("scriptMessages"));
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setSourceCode(webChannelScript() + QString::fromUtf8(bridgeScript));
    page_->scripts().insert(script);

    webView_ = std::make_unique<QWebEngineView>(this);
    webView_->setObjectName(QStringLiteral("ticketDescriptionWebView"));
    webView_->setPage(page_.get());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(webView_.get());

    readyTimer_ = new QTimer(this);
    readyTimer_->setInterval(50);
    connect(readyTimer_, &QTimer::timeout, this, &TinyMCEEditor::pollReady);
    connect(page_.get(), &QWebEnginePage::loadFinished, this, [this](bool) {
        if (!ready_) {
            readyTimer_->start();
        }
    });
    loadEditor(resourceDirectory);
}

TinyMCEEditor::~TinyMCEEditor() {
    channel_->deregisterObject(bridge_);
}

void TinyMCEEditor::loadEditor(const QString& resourceDirectory) {
    if (resourceDirectory.isEmpty() || !QFileInfo(resourceDirectory).isDir()) {
        return; // the editor stays blank and pendingHTML empty
    }
    // A directory URL, so the relative script, language and skin paths
    // resolve inside "tinymce".
    auto base = QUrl::fromLocalFile(QDir(resourceDirectory).filePath(QStringLiteral("tinymce")) + u'/');
    page_->setHtml(editorPage::pageTemplate(), base);
}

void TinyMCEEditor::setHtml(const QString& html) {
    pendingHTML_ = html;
    page_->runJavaScript(editorPage::setContentScript(html));
}

void TinyMCEEditor::didReceiveScriptMessage(const QString& name, const QVariant& body) {
    if (name != QLatin1String(editorPage::contentChangedName) || body.typeId() != QMetaType::QString) {
        return;
    }
    pendingHTML_ = body.toString();
    if (onContentChanged_) {
        onContentChanged_(pendingHTML_);
    }
}

void TinyMCEEditor::whenReady(std::function<void()> callback) {
    if (ready_) {
        callback();
        return;
    }
    readyCallbacks_.push_back(std::move(callback));
}

void TinyMCEEditor::pollReady() {
    // Missing editor files leave a bare text area that never initialises;
    // the polling then ends after a minute.
    if (++readyPolls_ > 1200) {
        readyTimer_->stop();
        return;
    }
    page_->runJavaScript(editorPage::readyScript(), [self = QPointer(this)](const QVariant& result) {
        if (!self || self->ready_ || !result.toBool()) {
            return;
        }
        self->ready_ = true;
        self->readyTimer_->stop();
        for (auto& callback : std::exchange(self->readyCallbacks_, {})) {
            callback();
        }
    });
}

} // namespace kova::menubar
