#pragma once

#include "menubar/ticket/TicketEditor.hpp"

#include <QPointer>
#include <QString>
#include <QVariant>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

class QTimer;
class QWebChannel;
class QWebEnginePage;
class QWebEngineProfile;
class QWebEngineView;

namespace kova::menubar {

// The page's script messages, reached through the web channel under the name
// the page posts to (window.webkit.messageHandlers.<name>.postMessage).
class ScriptMessageBridge : public QObject {
    Q_OBJECT
public:
    explicit ScriptMessageBridge(std::function<void(const QString&, const QVariant&)> receive,
                                 QObject* parent = nullptr)
        : QObject(parent), receive_(std::move(receive)) {}
    Q_INVOKABLE void post(const QString& name, const QVariant& body) { receive_(name, body); }

private:
    std::function<void(const QString&, const QVariant&)> receive_;
};

// The ticket description: TinyMCE in a web view filling the widget, in an
// off-the-record profile (no cookies, cache or storage survive the process).
// Keeps the last HTML the page reported or the form set, so the form reads the
// description without waiting for the page. Main thread only.
class TinyMCEEditor : public QWidget, public TicketEditor {
    Q_OBJECT
public:
    TinyMCEEditor(const QString& resourceDirectory, QWidget* parent = nullptr);
    ~TinyMCEEditor() override;

    QWidget* widget() override { return this; }
    void setHtml(const QString& html) override;
    QString pendingHTML() const override { return pendingHTML_; }
    void setOnContentChanged(std::function<void(const QString&)> callback) override {
        onContentChanged_ = std::move(callback);
    }
    void whenReady(std::function<void()> callback) override;

    // The script-message entry: only "contentChanged" with a text body counts.
    void didReceiveScriptMessage(const QString& name, const QVariant& body);
    QWebEngineView* webView() const { return webView_.get(); }

private:
    void loadEditor(const QString& resourceDirectory);
    void pollReady();

    QString pendingHTML_;
    std::function<void(const QString&)> onContentChanged_;
    std::vector<std::function<void()>> readyCallbacks_;
    bool ready_ = false;
    int readyPolls_ = 0;
    // Destroyed in reverse: the view, then the page, then the profile the page uses.
    std::unique_ptr<QWebEngineProfile> profile_;
    std::unique_ptr<QWebEnginePage> page_;
    std::unique_ptr<QWebEngineView> webView_;
    QWebChannel* channel_ = nullptr;
    ScriptMessageBridge* bridge_ = nullptr;
    QTimer* readyTimer_ = nullptr;
};

} // namespace kova::menubar
