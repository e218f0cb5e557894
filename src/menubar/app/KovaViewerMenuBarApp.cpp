#include "menubar/app/KovaViewerMenuBarApp.hpp"

#include "config/MacViewerBuildInfo.hpp"
#include "config/ViewerState.hpp"
#include "core/Paths.hpp"
#include "core/ViewerLogger.hpp"
#include "menubar/app/StatusItemImage.hpp"
#include "menubar/ui/Background.hpp"
#include "menubar/ui/Dialogs.hpp"
#include "menubar/ui/QtText.hpp"
#include "process/ProcessRunner.hpp"
#include "update/ViewerUpdateCoordinator.hpp"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

#include <fstream>
#include <system_error>

namespace kova::menubar {
namespace {

// How long start-up waits for a tray before showing the window instead.
constexpr int trayWaitInterval = 250;
constexpr int trayWaitTicksBeforeWindow = 20;

QString title() {
    return QStringLiteral("Sekwo Tarnvik");
}

// Opens the file, first creating it (and its folders) when missing; errors there are ignored.
void openFile(Desktop& desktop, const std::filesystem::path& path) {
    std::error_code ignored;
    std::filesystem::create_directories(path.parent_path(), ignored);
    if (!std::filesystem::exists(path, ignored)) {
        std::ofstream created(path, std::ios::app);
    }
    desktop.openUrl(QUrl::fromLocalFile(QString::fromStdString(path.string())));
}

} // namespace

KovaViewerMenuBarApp::KovaViewerMenuBarApp(bool launchedForMenuBar, Dependencies dependencies,
                                           QObject* parent)
    : QObject(parent), launchedForMenuBar_(launchedForMenuBar), dependencies_(std::move(dependencies)) {
    if (!dependencies_.facts) {
        dependencies_.facts = platform::systemFacts();
    }
    if (!dependencies_.helpdesk) {
        dependencies_.helpdesk = helpdeskClient();
    }
    if (!dependencies_.presentAlert) {
        dependencies_.presentAlert = [](const QString& alertTitle, const QString& message) {
            dialogs::warning(nullptr, alertTitle, message);
        };
    }
    if (!dependencies_.processRunner) {
        dependencies_.processRunner = systemProcessRunner();
    }
    Desktop& desktop = *dependencies_.desktop;
    const auto stop = backgroundStop_.get_token();
    model_ = new ViewerModel(this);
    tickets_ = new TicketSubmission(*model_, dependencies_.helpdesk, stop, this);
    chatInbox_ = std::make_unique<ChatInbox>(*model_, dependencies_.helpdesk, stop, desktop,
                                             dependencies_.facts, dependencies_.chatFileOwner);
    settingsSave_ = new SettingsSave(desktop, this);
    connect(settingsSave_, &SettingsSave::saved, this, &KovaViewerMenuBarApp::settingsWritten);
    connect(settingsSave_, &SettingsSave::failed, this, [this](const QString& message) {
        showAlert(QStringLiteral("Nie zapisano konfiguracji"), message);
    });
    rustDeskLinks_ = new RustDeskLinkOpener(desktop, dependencies_.processRunner, this);
    connect(rustDeskLinks_, &RustDeskLinkOpener::failed, this, [this](const QString& message) {
        dependencies_.presentAlert(QStringLiteral("Nie uruchomiono RustDesk"), message);
    });
    rustDeskBackgroundService_ = std::make_shared<RustDeskBackgroundService>(dependencies_.processRunner);
}

KovaViewerMenuBarApp::~KovaViewerMenuBarApp() {
    applicationWillTerminate();
    if (rustDeskLinks_->isWaiting()) {
        // Links started RustDesk from here: it is waited for, as ever, but
        // without an icon that no longer answers.
        if (statusItem_) {
            statusItem_->hide();
        }
        ViewerLogger::info("Waiting for RustDesk started from links to end before quitting.");
        rustDeskLinks_->waitForDone();
    }
    delete statusWindow_;
    delete updateWindow_;
}

void KovaViewerMenuBarApp::applicationDidFinishLaunching() {
    Desktop& desktop = *dependencies_.desktop;
    connect(&desktop, &Desktop::showRequested, this, &KovaViewerMenuBarApp::showRunningApplication);
    connect(&desktop, &Desktop::notificationActivated, this, [this](const QString& reference) {
        // Only a reply notification carries a ticket to open; a click on any
        // other (an audit sent, a connection issue) just dismisses it.
        if (!reference.isEmpty()) {
            openCustomerTicket(reference);
        }
    });
    connect(&desktop, &Desktop::reopenRequested, this, &KovaViewerMenuBarApp::applicationShouldHandleReopen);
    connect(&desktop, &Desktop::openUrlRequested, this, [this](const QUrl& url) { openUrls({url}); });
    desktop.listenForShowRequests();
    connect(model_, &ViewerModel::customerSessionChanged, this,
            &KovaViewerMenuBarApp::processCustomerNotifications, Qt::UniqueConnection);
    installApplicationMenu();
    model_->loadSettings();

    installStatusItem();
    startTimers();
    ViewerLogger::info("Sekwo Tarnvik macOS menu bar started.");

    if (launchedForMenuBar_ && settings() && settings()->hasViewerToken()) {
        return;
    }
    QTimer::singleShot(400, this, &KovaViewerMenuBarApp::showStatusWindow);
}

void KovaViewerMenuBarApp::applicationWillTerminate() {
    backgroundStop_.request_stop();
    disconnect(dependencies_.desktop, nullptr, this, nullptr);
    disconnect(model_, &ViewerModel::customerSessionChanged, this, nullptr);
    for (auto* timer : timers_) {
        if (timer) {
            timer->stop();
        }
    }
    if (trayWait_) {
        trayWait_->stop();
    }
}

void KovaViewerMenuBarApp::installStatusItem() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    statusItem_ = new QSystemTrayIcon(statusItemIcon(screen ? screen->devicePixelRatio() : 1.0), this);
    statusItem_->setObjectName(QStringLiteral("statusItem"));
    statusItem_->setToolTip(title());
    statusMenu_ = new QMenu;
    statusMenu_->setObjectName(QStringLiteral("statusMenu"));
    statusMenu_->setAccessibleName(title());
    connect(this, &QObject::destroyed, statusMenu_, &QObject::deleteLater);
    // Rebuilt from the state file each time it opens.
    connect(statusMenu_, &QMenu::aboutToShow, this, [this] { buildMenu(statusMenu_); });
#ifndef Q_OS_MACOS
    // Linux trays open it themselves on a right click (and StatusNotifierItem
    // hosts only through it); on macOS a set menu would take the left click too.
    statusItem_->setContextMenu(statusMenu_);
#endif
    connect(statusItem_, &QSystemTrayIcon::activated, this, &KovaViewerMenuBarApp::statusItemClicked);
    statusItem_->show();
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        waitForTray();
    }
}

void KovaViewerMenuBarApp::waitForTray() {
    // Qt embeds the icon once a tray appears; a desktop without any tray gets
    // the window, so the application is never invisible.
    ViewerLogger::warn("No system tray available yet; waiting for one");
    trayWait_ = new QTimer(this);
    trayWait_->setInterval(trayWaitInterval);
    connect(trayWait_, &QTimer::timeout, this, [this] {
        if (QSystemTrayIcon::isSystemTrayAvailable()) {
            trayWait_->stop();
            statusItem_->show();
            return;
        }
        if (++trayWaitTicks_ == trayWaitTicksBeforeWindow) {
            trayWait_->setInterval(5000);
            const bool windowShown = (statusWindow_ && statusWindow_->isVisible()) ||
                                     (updateWindow_ && updateWindow_->isVisible());
            if (!windowShown) {
                ViewerLogger::warn("No system tray; showing the status window instead");
                showStatusWindow();
            }
        }
    });
    trayWait_->start();
}

void KovaViewerMenuBarApp::startTimers() {
    for (const auto& [which, period] : menuBarTimerPeriods) {
        auto& timer = timers_[static_cast<std::size_t>(which)];
        delete timer;
        timer = new QTimer(this);
        timer->setInterval(static_cast<int>(period.count()));
        connect(timer, &QTimer::timeout, this, [this, which = which] { runTimerAction(which); });
        timer->start();
        runTimerAction(which);
    }
}

void KovaViewerMenuBarApp::runTimerAction(MenuBarTimer which) {
    switch (which) {
    case MenuBarTimer::chatPoll:
        chatInbox_->processIncoming();
        break;
    case MenuBarTimer::customerNotification:
        processCustomerNotifications();
        break;
    case MenuBarTimer::updateStatus:
        presentUpdateProgressIfNeeded();
        break;
    case MenuBarTimer::connectionStatus:
        presentConnectionStatusIfNeeded();
        break;
    case MenuBarTimer::rustDeskHealth:
        ensureRustDeskRunning();
        break;
    }
}

void KovaViewerMenuBarApp::installApplicationMenu() {
    const auto menus = applicationMenus();
#ifdef Q_OS_MACOS
    // A parentless menu bar is the application's own in the screen's menu bar.
    auto* bar = new QMenuBar(nullptr);
    connect(this, &QObject::destroyed, bar, &QObject::deleteLater);
    for (const auto& menu : menus) {
        auto* submenu = bar->addMenu(menu.title);
        for (const auto& item : menu.items) {
            if (item.separator) {
                submenu->addSeparator();
                continue;
            }
            auto* action = submenu->addAction(item.title);
            action->setObjectName(item.objectName);
            action->setShortcut(item.shortcut);
            connect(action, &QAction::triggered, this, [this, which = item.action] { perform(which); });
        }
    }
#else
    // No global menu bar here: the application menu's shortcuts work in the
    // status window, and the text fields bring their own editing shortcuts.
    for (const auto& item : menus.front().items) {
        if (item.separator) {
            continue;
        }
        auto* action = new QAction(item.title, this);
        action->setObjectName(item.objectName);
        action->setShortcut(item.shortcut);
        action->setShortcutContext(Qt::WindowShortcut);
        connect(action, &QAction::triggered, this, [this, which = item.action] { perform(which); });
        applicationActions_.push_back(action);
    }
#endif
}

void KovaViewerMenuBarApp::buildMenu(QMenu* menu) {
    menu->clear();
    model_->reload();
    for (const auto& item : statusMenuItems(model_->state())) {
        if (item.separator) {
            menu->addSeparator();
            continue;
        }
        auto* action = menu->addAction(item.title);
        action->setObjectName(item.objectName);
        action->setShortcut(item.shortcut);
        action->setEnabled(item.enabled);
        if (item.action != MenuAction::none) {
            // Queued: the action may open windows, which must wait for the menu to close.
            connect(action, &QAction::triggered, this, [this, which = item.action] {
                QMetaObject::invokeMethod(
                    this, [this, which] { perform(which); }, Qt::QueuedConnection);
            });
        }
    }
}

void KovaViewerMenuBarApp::perform(MenuAction action) {
    switch (action) {
    case MenuAction::none:
        break;
    case MenuAction::showStatusWindow:
        showStatusWindow();
        break;
    case MenuAction::showTicketForm:
        showTicketForm();
        break;
    case MenuAction::showCustomerTickets:
        showCustomerTickets();
        break;
    case MenuAction::sendAuditNow:
        sendAuditNow();
        break;
    case MenuAction::checkUpdatesNow:
        checkUpdatesNow();
        break;
    case MenuAction::checkChatNow:
        checkChatNow();
        break;
    case MenuAction::openLog:
        openLog();
        break;
    case MenuAction::openSettings:
        openSettings();
        break;
    case MenuAction::toggleStatusFullScreen:
        toggleStatusFullScreen();
        break;
    case MenuAction::hideApplication:
        for (auto* window : QApplication::topLevelWidgets()) {
            window->hide();
        }
        break;
    case MenuAction::quit:
        quit();
        break;
    case MenuAction::undo:
    case MenuAction::redo:
    case MenuAction::cut:
    case MenuAction::copy:
    case MenuAction::paste:
    case MenuAction::selectAll:
        editAction(action);
        break;
    }
}

void KovaViewerMenuBarApp::editAction(MenuAction action) {
    QWidget* target = QApplication::focusWidget();
    if (!target) {
        return;
    }
    const char* const slot = action == MenuAction::undo    ? "undo"
                             : action == MenuAction::redo  ? "redo"
                             : action == MenuAction::cut   ? "cut"
                             : action == MenuAction::copy  ? "copy"
                             : action == MenuAction::paste ? "paste"
                                                           : "selectAll";
    // Text widgets have these as slots; other widgets simply ignore them.
    const QByteArray signature = QByteArray(slot).append("()");
    if (target->metaObject()->indexOfMethod(signature.constData()) >= 0) {
        QMetaObject::invokeMethod(target, slot);
    }
}

void KovaViewerMenuBarApp::statusItemClicked(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Context) {
#ifdef Q_OS_MACOS
        statusMenu_->popup(QCursor::pos());
#endif
        return;
    }
    if (reason == QSystemTrayIcon::Trigger &&
        (QGuiApplication::queryKeyboardModifiers() & Qt::ControlModifier)) {
        statusMenu_->popup(QCursor::pos());
        return;
    }
    // Every other click (double, middle, or one the tray does not name).
    showStatusWindow();
}

bool KovaViewerMenuBarApp::applicationShouldHandleReopen(bool) {
    showStatusWindow();
    return true;
}

void KovaViewerMenuBarApp::showRunningApplication() {
    QMetaObject::invokeMethod(this, &KovaViewerMenuBarApp::showStatusWindow, Qt::QueuedConnection);
}

void KovaViewerMenuBarApp::showStatusWindow() {
    model_->reload();
    if (!statusWindow_) {
        StatusWindowHandlers handlers;
        handlers.save = [this](const ViewerSettings& edited) { saveSettings(edited); };
        handlers.audit = [this] { sendAuditNow(); };
        handlers.log = [this] { openLog(); };
        handlers.update = [this] { checkUpdatesNow(); };
        handlers.ticket = [this](AgentTicketDraft draft, TicketCompletion completion) {
            tickets_->submit(std::move(draft), std::move(completion));
        };
        statusWindow_ = new StatusWindowController(*model_, std::move(handlers), *dependencies_.desktop,
                                                   dependencies_.facts, dependencies_.helpdesk);
        for (auto* action : applicationActions_) {
            statusWindow_->addAction(action);
        }
    } else {
        statusWindow_->apply(true);
    }
    dependencies_.desktop->setActivationPolicy(ActivationPolicy::regular);
    dependencies_.desktop->activate(statusWindow_);
    statusWindow_->focusInitialField(model_->settingsOrDefaults());
}

void KovaViewerMenuBarApp::showTicketForm() {
    showStatusWindow();
    statusWindow_->selectTab(StatusTab::ticket);
    statusWindow_->ticketForm()->focusCustomerEmail();
}

void KovaViewerMenuBarApp::toggleStatusFullScreen() {
    showStatusWindow();
    statusWindow_->toggleFullScreen();
}

void KovaViewerMenuBarApp::showCustomerTickets() {
    openCustomerTicket({});
}

void KovaViewerMenuBarApp::openCustomerTicket(const QString& reference) {
    if (const auto url =
            customerPortalUrl(model_->settingsOrDefaults().normalizedServerBaseUrl(), reference)) {
        dependencies_.desktop->openUrl(*url);
    } else {
        showNotification(title(), QStringLiteral("Nieprawidłowy adres panelu klienta."));
    }
}

void KovaViewerMenuBarApp::checkChatNow() {
    chatInbox_->processIncoming();
}

void KovaViewerMenuBarApp::openLog() {
    openFile(*dependencies_.desktop, ViewerLogger::logFile());
}

void KovaViewerMenuBarApp::openSettings() {
    openFile(*dependencies_.desktop, paths::configPath());
}

void KovaViewerMenuBarApp::quit() {
    applicationWillTerminate();
    QCoreApplication::quit();
}

void KovaViewerMenuBarApp::sendAuditNow() {
    model_->reload();
    if (!settings()) {
        showNotification(title(), QStringLiteral("Brak konfiguracji sekwo.settings.json."));
        return;
    }
    const auto finished = [this](const AgentOperationOutcome& outcome) {
        if (outcome.succeeded) {
            showNotification(title(), QStringLiteral("Audyt został wysłany."));
        } else if (outcome.message) {
            showAlert(QStringLiteral("Nie wysłano audytu"), qtText(*outcome.message));
        }
        if (statusWindow_) {
            model_->reload();
            statusWindow_->apply(true);
        }
    };
    runInBackground(
        this,
        [helpdesk = dependencies_.helpdesk, settings = *settings(), stop = backgroundStop_.get_token()] {
            try {
                return helpdesk->sendInventory(settings, "menu_bar", stop);
            } catch (const std::exception& error) {
                ViewerLogger::error(error, "Inventory send failed");
                return AgentOperationOutcome{};
            }
        },
        finished);
}

void KovaViewerMenuBarApp::showUpdateWindow() {
    if (!updateWindow_) {
        updateWindow_ = new UpdateWindowController([this] { checkUpdatesNow(); });
    }
    dependencies_.desktop->setActivationPolicy(ActivationPolicy::regular);
    updateWindow_->showWindow();
    dependencies_.desktop->activate(updateWindow_);
}

void KovaViewerMenuBarApp::checkUpdatesNow() {
    showUpdateWindow();
    try {
        ViewerUpdateCoordinator::requestManualCheck();
    } catch (const std::exception& error) {
        if (updateWindow_) {
            ViewerUpdateStatus failed;
            failed.phase = "failed";
            failed.message = viewerErrorMessage(error, "zlecić aktualizację");
            failed.currentVersion = std::string(MacViewerBuildInfo::version);
            failed.updatedAt = nowSeconds();
            failed.logPath = (paths::logDirectory() / "sekwo-update.log").string();
            updateWindow_->refresh(failed);
        }
        showAlert(QStringLiteral("Nie można sprawdzić aktualizacji"),
                  qtText(viewerErrorMessage(error, "sprawdzić aktualizację")));
        return;
    }
    updateWindow_->beginChecking();
    showNotification(title(), QStringLiteral("Zlecono sprawdzenie aktualizacji."));
}

void KovaViewerMenuBarApp::presentUpdateProgressIfNeeded() {
    const auto status = ViewerUpdateCoordinator::readStatus();
    if (!status || !announcedUpdatePhase_.take(status->phase, status->availableVersion)) {
        return;
    }
    showNotification(title(), qtText(status->message));
    if (status->phase == "installing") {
        showUpdateWindow();
        updateWindow_->refresh(*status);
    }
}

void KovaViewerMenuBarApp::presentConnectionStatusIfNeeded() {
    model_->reload();
    const ViewerState& state = model_->state();
    if (!announcedConnectionIssue_.take(state.connectionIssue)) {
        return;
    }
    showNotification(title(), connectionAnnouncementText(state));
    if (settings() && statusWindow_) {
        statusWindow_->apply(true);
    }
}

void KovaViewerMenuBarApp::showAlert(const QString& alertTitle, const QString& message) {
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, alertTitle, message] { showAlert(alertTitle, message); }, Qt::QueuedConnection);
        return;
    }
    dependencies_.presentAlert(alertTitle, message);
}

void KovaViewerMenuBarApp::showNotification(const QString& notificationTitle, const QString& text,
                                            const QString& ticketReference) {
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this,
            [this, notificationTitle, text, ticketReference] {
                showNotification(notificationTitle, text, ticketReference);
            },
            Qt::QueuedConnection);
        return;
    }
    deliverNotification(userNotificationContent(notificationTitle, text, ticketReference,
                                                QUuid::createUuid().toString(QUuid::WithoutBraces)));
}

void KovaViewerMenuBarApp::saveSettings(const ViewerSettings& settings) {
    settingsSave_->save(settings);
}

void KovaViewerMenuBarApp::settingsWritten(const ViewerSettings& settings) {
    model_->setSettings(settings);
    if (statusWindow_) {
        statusWindow_->apply(true);
    }
    showNotification(title(), QStringLiteral("Konfiguracja została zapisana."));
    // The daemon restarts with the file anyway; this audit only reports the
    // change sooner, so its outcome is not shown.
    QThreadPool::globalInstance()->start(
        [helpdesk = dependencies_.helpdesk, settings, stop = backgroundStop_.get_token()] {
            try {
                helpdesk->sendInventory(settings, "settings_saved", stop);
            } catch (const std::exception& error) {
                ViewerLogger::error(error, "Inventory send after settings save failed");
            }
        });
}

void KovaViewerMenuBarApp::openUrls(const QList<QUrl>& urls) {
    rustDeskLinks_->open(urls);
}

void KovaViewerMenuBarApp::ensureRustDeskRunning() {
    if (rustDeskCheck_.isRunning()) {
        return;
    }
    rustDeskCheck_ = QtConcurrent::run([service = rustDeskBackgroundService_] { service->ensureRunning(); });
}

void KovaViewerMenuBarApp::processCustomerNotifications() {
    if (customerPoll_) {
        return;
    }
    model_->reload();
    const auto& session = model_->customerSession();
    if (!session) {
        return;
    }
    customerPoll_ = new CustomerReplyPoll(dependencies_.helpdesk, model_->settingsOrDefaults(), *session,
                                          backgroundStop_.get_token(), this);
    connect(customerPoll_, &CustomerReplyPoll::finished, this, [this](const CustomerReplies& found) {
        customerPoll_ = nullptr;
        if (found.sessionEnded) {
            model_->customerSessionStored();
        }
        for (const auto& reply : found.replies) {
            deliverNotification(
                ticketReplyNotification(reply, QUuid::createUuid().toString(QUuid::WithoutBraces)));
        }
        if (found.stale) {
            processCustomerNotifications();
        }
    });
}

void KovaViewerMenuBarApp::deliverNotification(const UserNotificationContent& content) {
    if (!model_->settingsOrDefaults().notificationsEnabled) {
        return;
    }
    dependencies_.desktop->showUserNotification(content.identifier, content.title, content.body,
                                                content.ticketReference);
}

} // namespace kova::menubar
