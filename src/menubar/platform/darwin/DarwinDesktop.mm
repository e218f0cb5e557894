// The macOS desktop: activation policy, the distributed show request, the
// user-notification centre and the workspace. Compiled only on Apple, without
// ARC: every Objective-C object kept here is retained and released by hand.
#include "menubar/platform/Desktop.hpp"

#include "menubar/AdministratorCommand.hpp"

#include <QApplication>
#include <QDesktopServices>
#include <QFileOpenEvent>
#include <QPointer>
#include <QProcess>
#include <QWidget>

#import <AppKit/AppKit.h>
#import <CoreGraphics/CoreGraphics.h>
#import <UserNotifications/UserNotifications.h>

#include <functional>
#include <utility>

namespace {

NSString* const showRunningApplicationName = @"pl.tarnvik.sekwo.show-running-application";
NSString* const referenceKey = @"ticket_reference";

NSString* toNSString(const QString& text) {
    return text.toNSString();
}

} // namespace

@interface KovaNotificationDelegate : NSObject <UNUserNotificationCenterDelegate> {
@public
    std::function<void(QString)> activated;
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
    if (activated) {
        activated(userData);
    }
    completionHandler();
}
@end

namespace kova::menubar {

bool desktop::hasGraphicalSession() {
    CFDictionaryRef session = CGSessionCopyCurrentDictionary();
    if (!session) {
        return false;
    }
    CFRelease(session);
    return true;
}

bool desktop::postShowRunningApplication() {
    [[NSDistributedNotificationCenter defaultCenter] postNotificationName:showRunningApplicationName
                                                                   object:nil
                                                                 userInfo:nil
                                                       deliverImmediately:YES];
    return true;
}

bool desktop::postOpenUrlToRunningApplication(const QUrl&) {
    // LaunchServices hands links straight to the running instance (its URL
    // open event); a second instance never receives one to pass on.
    return false;
}

namespace {

class DarwinDesktop : public Desktop {
public:
    DarwinDesktop() {
        delegate_ = [[KovaNotificationDelegate alloc] init];
        QPointer<DarwinDesktop> self(this);
        delegate_->activated = [self](QString userData) {
            if (self) {
                QMetaObject::invokeMethod(
                    self,
                    [self, userData] {
                        if (self)
                            Q_EMIT self->notificationActivated(userData);
                    },
                    Qt::QueuedConnection);
            }
        };
        [UNUserNotificationCenter currentNotificationCenter].delegate = delegate_;
        // Links of the bundle's URL scheme arrive as file-open events.
        qApp->installEventFilter(this);
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
        if (observer_) {
            [[NSDistributedNotificationCenter defaultCenter] removeObserver:observer_];
            [observer_ release];
        }
        if ([UNUserNotificationCenter currentNotificationCenter].delegate == delegate_) {
            [UNUserNotificationCenter currentNotificationCenter].delegate = nil;
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
        if (observer_) {
            return true;
        }
        QPointer<DarwinDesktop> self(this);
        id token =
            [[NSDistributedNotificationCenter defaultCenter] addObserverForName:showRunningApplicationName
                                                                         object:nil
                                                                          queue:[NSOperationQueue mainQueue]
                                                                     usingBlock:^(NSNotification*) {
                                                                       if (self) {
                                                                           Q_EMIT self->showRequested();
                                                                       }
                                                                     }];
        observer_ = [token retain];
        return true;
    }

    void showNotification(const QString& title, const QString& text, const QString& userData) override {
        showUserNotification(QString::fromNSString([[NSUUID UUID] UUIDString]), title, text, userData);
    }

    void showUserNotification(const QString& identifier, const QString& title, const QString& text,
                              const QString& ticketReference) override {
        UNMutableNotificationContent* content = [[[UNMutableNotificationContent alloc] init] autorelease];
        content.title = toNSString(title);
        content.body = toNSString(text);
        content.sound = [UNNotificationSound defaultSound];
        if (!ticketReference.isEmpty()) {
            content.userInfo = @{referenceKey : toNSString(ticketReference)};
        }
        UNNotificationRequest* request = [UNNotificationRequest requestWithIdentifier:toNSString(identifier)
                                                                              content:content
                                                                              trigger:nil];
        [[UNUserNotificationCenter currentNotificationCenter] addNotificationRequest:request
                                                               withCompletionHandler:nil];
    }

    void requestNotificationPermission(std::function<void(std::optional<QString>)> done) override {
        QPointer<DarwinDesktop> self(this);
        // The block copies the shared pointer, so the callback lives as long as it.
        auto callback = std::make_shared<std::function<void(std::optional<QString>)>>(std::move(done));
        [[UNUserNotificationCenter currentNotificationCenter]
            requestAuthorizationWithOptions:(UNAuthorizationOptionAlert | UNAuthorizationOptionSound |
                                             UNAuthorizationOptionBadge)
                          completionHandler:^(BOOL, NSError* error) {
                            std::optional<QString> failure;
                            if (error) {
                                failure = QString::fromNSString(error.localizedDescription);
                            }
                            if (self) {
                                QMetaObject::invokeMethod(
                                    self, [callback, failure] { (*callback)(failure); },
                                    Qt::QueuedConnection);
                            }
                          }];
    }

    bool openNotificationSettings() override {
        NSURL* url = [NSURL URLWithString:@"x-apple.systempreferences:com.apple.preference.notifications"];
        return [[NSWorkspace sharedWorkspace] openURL:url];
    }

    void queryNotificationPermission(std::function<void(NotificationPermission)> done) override {
        QPointer<DarwinDesktop> self(this);
        auto* callback = new std::function<void(NotificationPermission)>(std::move(done));
        [[UNUserNotificationCenter currentNotificationCenter]
            getNotificationSettingsWithCompletionHandler:^(UNNotificationSettings* settings) {
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
              std::unique_ptr<std::function<void(NotificationPermission)>> owned(callback);
              if (self) {
                  QMetaObject::invokeMethod(
                      self, [owned = std::shared_ptr(std::move(owned)), permission] { (*owned)(permission); },
                      Qt::QueuedConnection);
              }
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
        // macOS shows its administrator-authentication dialog for osascript;
        // the process runs beside the event loop, so the window stays live.
        auto* process = new QProcess(this);
        process->setProgram(QStringLiteral("/usr/bin/osascript"));
        process->setArguments(
            {QStringLiteral("-e"),
             QString::fromStdString(AdministratorCommand::administratorAppleScript(shellCommand))});
        process->setStandardOutputFile(QProcess::nullDevice());
        process->setStandardErrorFile(QProcess::nullDevice());
        auto pending = std::make_shared<std::function<void(AdministratorCommandResult)>>(std::move(done));
        auto finish = [process, pending](AdministratorCommandResult result) {
            process->deleteLater();
            if (*pending) {
                auto callback = std::exchange(*pending, nullptr);
                callback(std::move(result));
            }
        };
        QObject::connect(process, &QProcess::finished, this,
                         [finish](int exitCode, QProcess::ExitStatus status) {
                             finish({true, status == QProcess::NormalExit ? exitCode : -1, {}});
                         });
        QObject::connect(process, &QProcess::errorOccurred, this,
                         [process, finish](QProcess::ProcessError error) {
                             if (error == QProcess::FailedToStart) {
                                 finish({false, -1, process->errorString()});
                             }
                         });
        process->start();
    }

private:
    KovaNotificationDelegate* delegate_ = nil;
    id observer_ = nil;
};

} // namespace

std::unique_ptr<Desktop> createDesktop() {
    return std::make_unique<DarwinDesktop>();
}

} // namespace kova::menubar
