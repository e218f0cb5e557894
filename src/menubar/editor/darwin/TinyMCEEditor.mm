#include "menubar/editor/darwin/TinyMCEEditor.hpp"

#include "menubar/editor/EditorPage.hpp"

#include <QDir>
#include <QFileInfo>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>
#import <WebKit/WebKit.h>

#include <utility>

#if __has_feature(objc_arc)
#error "TinyMCEEditor.mm retains and releases by hand: compile it with -fno-objc-arc"
#endif

// Hands the page's script messages to the editor. The user-content
// controller retains its handlers, so the editor removes this one by name
// when it goes, and clears `receive` first: a message already on its way
// then finds nobody.
@interface KovaScriptMessageHandler : NSObject <WKScriptMessageHandler> {
@public
    std::function<void(const QString&, const QVariant&)> receive;
}
@end

@implementation KovaScriptMessageHandler
- (void)userContentController:(WKUserContentController*)controller
      didReceiveScriptMessage:(WKScriptMessage*)message {
    (void)controller;
    if (!receive) {
        return;
    }
    QVariant body;
    if ([message.body isKindOfClass:[NSString class]]) {
        body = QString::fromNSString(static_cast<NSString*>(message.body));
    }
    receive(QString::fromNSString(message.name), body);
}
@end

namespace kova::menubar {
namespace {

// Missing editor files leave a bare text area that never initialises; the
// readiness polling ends after a minute.
constexpr int readyPollLimit = 1200;

NSString* contentChangedHandlerName() {
    return [NSString stringWithUTF8String:editorPage::contentChangedName];
}

} // namespace

struct TinyMCEEditor::Native {
    WKWebView* webView = nil;                // retained
    KovaScriptMessageHandler* handler = nil; // retained

    Native() = default;
    Native(const Native&) = delete;
    Native& operator=(const Native&) = delete;
    ~Native() {
        if (handler) {
            handler->receive = nullptr;
        }
        if (webView) {
            [webView.configuration.userContentController
                removeScriptMessageHandlerForName:contentChangedHandlerName()];
            [webView stopLoading];
            [webView release];
        }
        [handler release];
    }
};

TinyMCEEditor::TinyMCEEditor(const QString& resourceDirectory, QWidget* parent)
    : QWidget(parent), native_(std::make_unique<Native>()) {
    setObjectName(QStringLiteral("ticketDescriptionEditor"));
    @autoreleasepool {
        WKWebViewConfiguration* configuration = [[[WKWebViewConfiguration alloc] init] autorelease];
        // No cookies, cache or local storage survive the process.
        configuration.websiteDataStore = [WKWebsiteDataStore nonPersistentDataStore];
        WKUserContentController* controller = [[[WKUserContentController alloc] init] autorelease];
        native_->handler = [[KovaScriptMessageHandler alloc] init];
        native_->handler->receive = [this](const QString& name, const QVariant& body) {
            didReceiveScriptMessage(name, body);
        };
        [controller addScriptMessageHandler:native_->handler name:contentChangedHandlerName()];
        configuration.userContentController = controller;
        native_->webView = [[WKWebView alloc] initWithFrame:NSMakeRect(0, 0, 600, 190)
                                              configuration:configuration];
    }

    // The native view joins the widget tree as a child window that fills
    // the editor edge to edge.
    QWindow* window = QWindow::fromWinId(reinterpret_cast<WId>(native_->webView));
    container_ = QWidget::createWindowContainer(window, this);
    container_->setObjectName(QStringLiteral("ticketDescriptionWebView"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(container_);

    readyTimer_ = new QTimer(this);
    readyTimer_->setInterval(50);
    connect(readyTimer_, &QTimer::timeout, this, [this] { pollReady(); });
    loadEditor(resourceDirectory);
}

TinyMCEEditor::~TinyMCEEditor() {
    readyTimer_->stop();
    // The container lets go of the native view before the view is released.
    delete container_.data();
    native_.reset();
}

void TinyMCEEditor::loadEditor(const QString& resourceDirectory) {
    if (resourceDirectory.isEmpty() || !QFileInfo(resourceDirectory).isDir()) {
        return; // the editor stays blank and pendingHTML empty
    }
    @autoreleasepool {
        // A directory URL, so the relative script, language and skin paths
        // resolve inside "tinymce" (and WebKit may read files there).
        const QString tinymce = QDir(resourceDirectory).filePath(QStringLiteral("tinymce"));
        NSURL* base = [NSURL fileURLWithPath:tinymce.toNSString() isDirectory:YES];
        [native_->webView loadHTMLString:editorPage::pageTemplate().toNSString() baseURL:base];
    }
    readyTimer_->start();
}

void TinyMCEEditor::setHtml(const QString& html) {
    pendingHTML_ = html;
    @autoreleasepool {
        [native_->webView evaluateJavaScript:editorPage::setContentScript(html).toNSString()
                           completionHandler:nil];
    }
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
    if (++readyPolls_ > readyPollLimit) {
        readyTimer_->stop();
        return;
    }
    // WebKit answers on the main thread, possibly after the editor is gone.
    QPointer<TinyMCEEditor> editor(this);
    @autoreleasepool {
        [native_->webView
            evaluateJavaScript:editorPage::readyScript().toNSString()
             completionHandler:^(id result, NSError* error) {
               if (error || !editor || editor->ready_ || ![result isKindOfClass:[NSNumber class]] ||
                   ![static_cast<NSNumber*>(result) boolValue]) {
                   return;
               }
               editor->ready_ = true;
               editor->readyTimer_->stop();
               for (auto& callback : std::exchange(editor->readyCallbacks_, {})) {
                   callback();
               }
             }];
    }
}

} // namespace kova::menubar
