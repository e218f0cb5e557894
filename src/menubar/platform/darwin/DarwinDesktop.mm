// The macOS desktop: activation policy, the wake channel between instances,
// the user-notification centre and the workspace. Compiled only on Apple,
// without ARC: every Objective-C object kept here is retained and released by
// hand.
#include "menubar/platform/Desktop.hpp"

#include "core/ToolPaths.hpp"
#include "core/ViewerLogger.hpp"
#include "menubar/platform/AdministratorPrompt.hpp"
#include "menubar/platform/UserPrivateDirectory.hpp"
#include "menubar/platform/WakeChannel.hpp"
#include "platform/darwin/CFPtr.hpp"

#include <QApplication>
#include <QDesktopServices>
#include <QFileOpenEvent>
#include <QPointer>
#include <QWidget>

#import <AppKit/AppKit.h>
#import <CoreGraphics/CoreGraphics.h>
#import <UserNotifications/UserNotifications.h>

#include <array>
#include <chrono>
#include <climits>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <utility>

#if __has_feature(objc_arc)
#error "DarwinDesktop.mm retains and releases by hand: compile it with -fno-objc-arc"
#endif

namespace {

using DesktopGuard = std::shared_ptr<QPointer<kova::menubar::Desktop>>;

NSString* const referenceKey = @"ticket_reference";
// How long a later instance waits for the running one to take its request.
constexpr auto acknowledgementTimeout = std::chrono::seconds(2);

NSString* toNSString(const QString& text) {
    return text.toNSString();
}

NSString* showRunningApplicationName() {
    const auto& name = kova::menubar::wake::showRunningApplicationName;
    return [[[NSString alloc] initWithBytes:name.data() length:name.size()
                                   encoding:NSUTF8StringEncoding] autorelease];
}

// Runs `work` later on the main thread. Completion handlers of the
// notification centre run on queues of their own, where the desktop may be
// destroyed at any moment: the guard is tested only in the queued call, on
// the main thread, and the application object outlives every desktop.
void onMainThread(std::function<void()> work) {
    if (auto* application = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(application, std::move(work), Qt::QueuedConnection);
    }
}

// UNUserNotificationCenter raises an exception in a process that is not an
// application bundle (the bare executable started from a build folder), so
// such a run keeps going without notifications.
UNUserNotificationCenter* notificationCenter() {
    static const bool bundled = [] {
        NSBundle* bundle = [NSBundle mainBundle];
        return [[bundle.bundlePath pathExtension] caseInsensitiveCompare:@"app"] == NSOrderedSame &&
               bundle.bundleIdentifier != nil;
    }();
    return bundled ? [UNUserNotificationCenter currentNotificationCenter] : nil;
}

constexpr char noBundleLine[] =
    "User notifications are off: the program was started outside its application bundle; "
    "open \"Sekwo Tarnvik.app\" instead to have them.";

// The wake socket, in the user's own temporary folder (only that user can
// enter it); none when the system names no such folder.
std::optional<std::string> wakeChannelPath() {
    std::array<char, PATH_MAX> folder{};
    const auto length = ::confstr(_CS_DARWIN_USER_TEMP_DIR, folder.data(), folder.size());
    if (length == 0 || length > folder.size()) {
        return std::nullopt;
    }
    std::string path(folder.data());
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    if (!kova::menubar::isPrivateDirectory(path)) {
        return std::nullopt;
    }
    return path + "/" + std::string(kova::menubar::wake::showRunningApplicationName);
}

} // namespace

@interface KovaNotificationDelegate : NSObject <UNUserNotificationCenterDelegate> {
@public
    // Set once before the delegate is installed, never changed afterwards.
    DesktopGuard desktop;
}
@end

@implementation KovaNotificationDelegate
- (void)userNotificationCenter:(UNUserNotificationCenter*)center
       willPresentNotification:(UNNotification*)notification
         withCompletionHandler:(void (^)(UNNotificationPresentationOptions))completionHandler {
    (void)center;
    (void)notification;
    completionHandler(UNNotificationPresentationOptionBanner | UNNotificationPresentationOptionSound);
}

- (void)userNotificationCenter:(UNUserNotificationCenter*)center
    didReceiveNotificationResponse:(UNNotificationResponse*)response
             withCompletionHandler:(void (^)(void))completionHandler {
    (void)center;
    NSString* reference = response.notification.request.content.userInfo[referenceKey];
    const QString userData =
        [reference isKindOfClass:[NSString class]] ? QString::fromNSString(reference) : QString();
    onMainThread([guard = desktop, userData] {
        if (kova::menubar::Desktop* target = guard ? guard->data() : nullptr) {
            Q_EMIT target->notificationActivated(userData);
        }
    });
    completionHandler();
}
@end

// Receives the reopen Apple event ("rapp"): Finder, Spotlight or the Dock
// opening the application again while it runs. AppKit would hand it to the
// application delegate's applicationShouldHandleReopen:hasVisibleWindows:,
// which belongs to Qt; a handler of our own takes its place.
@interface KovaReopenHandler : NSObject {
@public
    // Set once before the handler is installed, never changed afterwards.
    DesktopGuard desktop;
    BOOL installed;
}
- (void)handleReopen:(NSAppleEventDescriptor*)event withReplyEvent:(NSAppleEventDescriptor*)reply;
- (void)install;
- (void)uninstall;
@end

@implementation KovaReopenHandler
- (void)handleReopen:(NSAppleEventDescriptor*)event withReplyEvent:(NSAppleEventDescriptor*)reply {
    (void)event;
    (void)reply;
    bool visible = false;
    for (NSWindow* window in [NSApp windows]) {
        visible = visible || window.isVisible;
    }
    // Apple events arrive on the main thread; the signal is queued all the
    // same, so the window opens outside AppKit's event dispatch.
    onMainThread([guard = desktop, visible] {
        if (kova::menubar::Desktop* target = guard ? guard->data() : nullptr) {
            Q_EMIT target->reopenRequested(visible);
        }
    });
}

// AppKit registers its own handler while the application finishes
// launching; installed later, this one replaces it.
- (void)install {
    [[NSAppleEventManager sharedAppleEventManager] setEventHandler:self
                                                       andSelector:@selector(handleReopen:withReplyEvent:)
                                                     forEventClass:kCoreEventClass
                                                        andEventID:kAEReopenApplication];
    installed = YES;
}

- (void)uninstall {
    if (installed) {
        [[NSAppleEventManager sharedAppleEventManager] removeEventHandlerForEventClass:kCoreEventClass
                                                                            andEventID:kAEReopenApplication];
        installed = NO;
    }
}
@end

namespace kova::menubar {

bool desktop::hasGraphicalSession() {
    const platform::CFPtr<CFDictionaryRef> session(CGSessionCopyCurrentDictionary());
    return session != nullptr;
}

AdministratorTools desktop::administratorTools() {
    return {tools::mkdir, tools::cp, tools::chown,     tools::chmod,
            tools::mv,    tools::rm, tools::launchctl, "wheel"};
}

bool desktop::postShowRunningApplication() {
    if (const auto path = wakeChannelPath();
        path && wake::sendRequest(*path, wake::showRequest(), acknowledgementTimeout)) {
        return true;
    }
    // An instance whose wake socket could not be opened still observes the
    // distributed notification; it gives no answer, so nobody answered.
    @autoreleasepool {
        [[NSDistributedNotificationCenter defaultCenter] postNotificationName:showRunningApplicationName()
                                                                       object:nil
                                                                     userInfo:nil
                                                           deliverImmediately:YES];
    }
    return false;
}

bool desktop::postOpenUrlToRunningApplication(const QUrl& url) {
    const auto path = wakeChannelPath();
    const auto request = wake::openRequest(url);
    return path && request && wake::sendRequest(*path, *request, acknowledgementTimeout);
}

namespace {

class DarwinDesktop : public Desktop {
public:
    DarwinDesktop() : guard_(std::make_shared<QPointer<Desktop>>(this)) {
        connect(&wake_, &wake::Listener::showRequested, this, &Desktop::showRequested);
        connect(&wake_, &wake::Listener::openUrlRequested, this, &Desktop::openUrlRequested);
        if (UNUserNotificationCenter* center = notificationCenter()) {
            delegate_ = [[KovaNotificationDelegate alloc] init];
            delegate_->desktop = guard_;
            center.delegate = delegate_;
        } else {
            ViewerLogger::error(noBundleLine);
            std::cerr << noBundleLine << '\n';
        }
        // Links of the bundle's URL scheme arrive as file-open events.
        qApp->installEventFilter(this);
        reopen_ = [[KovaReopenHandler alloc] init];
        reopen_->desktop = guard_;
        if ([[NSRunningApplication currentApplication] isFinishedLaunching]) {
            [reopen_ install];
        } else {
            KovaReopenHandler* handler = reopen_;
            launched_ = [[[NSNotificationCenter defaultCenter]
                addObserverForName:NSApplicationDidFinishLaunchingNotification
                            object:nil
                             queue:[NSOperationQueue mainQueue]
                        usingBlock:^(NSNotification*) {
                          [handler install];
                        }] retain];
        }
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::FileOpen) {
            const QUrl url = static_cast<QFileOpenEvent*>(event)->url();
            if (!url.isLocalFile() && url.isValid()) {
                Q_EMIT openUrlRequested(url);
                return true;
            }
        }
        return Desktop::eventFilter(watched, event);
    }

    ~DarwinDesktop() override {
        if (launched_) {
            [[NSNotificationCenter defaultCenter] removeObserver:launched_];
            [launched_ release];
        }
        [reopen_ uninstall];
        [reopen_ release];
        if (observer_) {
            [[NSDistributedNotificationCenter defaultCenter] removeObserver:observer_];
            [observer_ release];
        }
        if (UNUserNotificationCenter* center = notificationCenter(); center && center.delegate == delegate_) {
            center.delegate = nil;
        }
        [delegate_ release];
    }

    void setActivationPolicy(ActivationPolicy policy) override {
        [NSApp setActivationPolicy:policy == ActivationPolicy::regular
                                       ? NSApplicationActivationPolicyRegular
                                       : NSApplicationActivationPolicyAccessory];
    }

    void activate(QWidget* window) override {
        if (!window) {
            return;
        }
        window->show();
        window->raise();
        [NSApp activateIgnoringOtherApps:YES];
        window->activateWindow();
    }

    bool listenForShowRequests() override {
        if (!observer_) {
            // The notification a later instance posts when its request over
            // the wake socket went unanswered.
            QPointer<DarwinDesktop> self(this);
            @autoreleasepool {
                id token = [[NSDistributedNotificationCenter defaultCenter]
                    addObserverForName:showRunningApplicationName()
                                object:nil
                                 queue:[NSOperationQueue mainQueue]
                            usingBlock:^(NSNotification*) {
                              if (self) {
                                  Q_EMIT self->showRequested();
                              }
                            }];
                observer_ = [token retain];
            }
        }
        const auto path = wakeChannelPath();
        if (!path) {
            ViewerLogger::warn(
                "Wake channel unavailable: the user's temporary folder is missing or not private");
            return false;
        }
        return wake_.listen(*path);
    }

    void showUserNotification(const QString& identifier, const QString& title, const QString& text,
                              const QString& ticketReference) override {
        UNUserNotificationCenter* center = notificationCenter();
        if (!center) {
            ViewerLogger::warn("User notification not shown: no application bundle");
            return;
        }
        @autoreleasepool {
            UNMutableNotificationContent* content = [[[UNMutableNotificationContent alloc] init] autorelease];
            content.title = toNSString(title);
            content.body = toNSString(text);
            content.sound = [UNNotificationSound defaultSound];
            if (!ticketReference.isEmpty()) {
                content.userInfo = @{referenceKey : toNSString(ticketReference)};
            }
            UNNotificationRequest* request =
                [UNNotificationRequest requestWithIdentifier:toNSString(identifier)
                                                     content:content
                                                     trigger:nil];
            [center addNotificationRequest:request withCompletionHandler:nil];
        }
    }

    void requestNotificationPermission(std::function<void(std::optional<QString>)> done) override {
        // The block copies the shared pointer: the callback lives as long as
        // the block, and goes with it when the centre never calls back.
        auto callback = std::make_shared<std::function<void(std::optional<QString>)>>(std::move(done));
        UNUserNotificationCenter* center = notificationCenter();
        if (!center) {
            onMainThread([guard = guard_, callback] {
                if (*guard) {
                    (*callback)(
                        QStringLiteral("Powiadomienia działają tylko w aplikacji uruchomionej z pakietu "
                                       "Sekwo Tarnvik.app."));
                }
            });
            return;
        }
        DesktopGuard guard = guard_;
        [center requestAuthorizationWithOptions:(UNAuthorizationOptionAlert | UNAuthorizationOptionSound |
                                                 UNAuthorizationOptionBadge)
                              completionHandler:^(BOOL, NSError* error) {
                                std::optional<QString> failure;
                                if (error) {
                                    failure = QString::fromNSString(error.localizedDescription);
                                }
                                onMainThread([guard, callback, failure] {
                                    if (*guard) {
                                        (*callback)(failure);
                                    }
                                });
                              }];
    }

    bool openNotificationSettings() override {
        NSURL* url = [NSURL URLWithString:@"x-apple.systempreferences:com.apple.preference.notifications"];
        return [[NSWorkspace sharedWorkspace] openURL:url];
    }

    void queryNotificationPermission(std::function<void(NotificationPermission)> done) override {
        auto callback = std::make_shared<std::function<void(NotificationPermission)>>(std::move(done));
        DesktopGuard guard = guard_;
        UNUserNotificationCenter* center = notificationCenter();
        if (!center) {
            onMainThread([guard, callback] {
                if (*guard) {
                    (*callback)(NotificationPermission::unknown);
                }
            });
            return;
        }
        [center getNotificationSettingsWithCompletionHandler:^(UNNotificationSettings* settings) {
          NotificationPermission permission = NotificationPermission::unknown;
          switch (settings.authorizationStatus) {
          case UNAuthorizationStatusAuthorized:
          case UNAuthorizationStatusProvisional:
              permission = NotificationPermission::authorized;
              break;
          case UNAuthorizationStatusNotDetermined:
              permission = NotificationPermission::notDetermined;
              break;
          case UNAuthorizationStatusDenied:
              permission = NotificationPermission::denied;
              break;
          default:
              // Ephemeral exists only on iOS; anything newer is unknown here.
              break;
          }
          onMainThread([guard, callback, permission] {
              if (*guard) {
                  (*callback)(permission);
              }
          });
        }];
    }

    bool openUrl(const QUrl& url) override { return QDesktopServices::openUrl(url); }

    std::optional<QString> applicationPath(const QString& bundleIdentifier) override {
        NSURL* url = [[NSWorkspace sharedWorkspace]
            URLForApplicationWithBundleIdentifier:toNSString(bundleIdentifier)];
        if (!url) {
            return std::nullopt;
        }
        return QString::fromNSString(url.path);
    }

    void runAdministratorCommand(const std::string& shellCommand,
                                 std::function<void(AdministratorCommandResult)> done) override {
        // macOS shows its administrator-authentication dialog for osascript.
        runAdministratorPrompt(
            this, QLatin1String(tools::osascript),
            {QStringLiteral("-e"),
             QString::fromStdString(administratorAppleScript(shellCommand))},
            std::move(done));
    }

private:
    // Shared with every pending completion handler; read on the main thread only.
    DesktopGuard guard_;
    wake::Listener wake_;
    KovaNotificationDelegate* delegate_ = nil;
    id observer_ = nil;
    KovaReopenHandler* reopen_ = nil;
    id launched_ = nil;
};

} // namespace

std::unique_ptr<Desktop> createDesktop() {
    return std::make_unique<DarwinDesktop>();
}

} // namespace kova::menubar
