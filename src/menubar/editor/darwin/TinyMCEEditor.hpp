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

namespace kova::menubar {

// The ticket description on a Mac: TinyMCE in the system's WebKit (a
// WKWebView with a data store of its own that nothing outlives the process
// in), embedded in the form through a window container around the native
// view. The page reports every change to the "contentChanged" script
// message handler; the last HTML it reported or the form set is kept, so the
// form reads the description without waiting for the page. Main thread only.
class TinyMCEEditor : public QWidget, public TicketEditor {
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

private:
    // The Objective-C objects (the web view and the message handler).
    struct Native;

    void loadEditor(const QString& resourceDirectory);
    void pollReady();

    QString pendingHTML_;
    std::function<void(const QString&)> onContentChanged_;
    std::vector<std::function<void()>> readyCallbacks_;
    bool ready_ = false;
    int readyPolls_ = 0;
    std::unique_ptr<Native> native_;
    QPointer<QWidget> container_;
    QTimer* readyTimer_ = nullptr;
};

} // namespace kova::menubar
