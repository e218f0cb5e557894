// The application delegate's side of the customer panel: the poll for
// consultants' replies and the notifications they become.
#include "core/Errors.hpp"
#include "core/Stop.hpp"
#include "core/ViewerLogger.hpp"
#include "menubar/app/KovaViewerMenuBarApp.hpp"
#include "menubar/customer/CustomerNotificationRules.hpp"
#include "menubar/model/CustomerSessionStore.hpp"

#include <QFutureWatcher>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

namespace kova::menubar {
namespace {

constexpr std::int64_t notificationPageSize = 20;
constexpr auto pollFailed = "Customer ticket notifications poll failed";

struct PollOutcome {
    std::vector<CustomerTicketNotification> replies;
    bool sessionEnded = false;
    // The session changed while the request ran; the new one is polled at once.
    bool stale = false;
};

QString newUuid() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

// Whether the stored session is still the one a poll started with: a logout
// or a new login while the request ran makes its answer stale.
bool stillStored(const std::string& accessToken) {
    const auto current = CustomerSessionStore::load();
    return current && current->accessToken == accessToken;
}

} // namespace

void KovaViewerMenuBarApp::observeCustomerSession() {
    connect(&CustomerSessionEvents::instance(), &CustomerSessionEvents::didChange, this,
            &KovaViewerMenuBarApp::processCustomerNotifications, Qt::UniqueConnection);
}

ViewerSettings KovaViewerMenuBarApp::effectiveSettings() const {
    if (settings_) {
        return *settings_;
    }
    try {
        return ViewerSettings::load();
    } catch (const std::exception&) {
        return ViewerSettings::defaults();
    }
}

void KovaViewerMenuBarApp::processCustomerNotifications() {
    if (isPollingCustomerNotifications_) {
        return;
    }
    auto session = CustomerSessionStore::load();
    if (!session) {
        return;
    }
    const ViewerSettings settings = effectiveSettings();
    isPollingCustomerNotifications_ = true;

    auto* watcher = new QFutureWatcher<PollOutcome>(this);
    connect(watcher, &QFutureWatcher<PollOutcome>::finished, this, [this, watcher] {
        watcher->deleteLater();
        isPollingCustomerNotifications_ = false;
        const PollOutcome outcome = watcher->result();
        if (outcome.sessionEnded) {
            CustomerSessionEvents::instance().post();
        }
        for (const auto& reply : outcome.replies) {
            deliverNotification(ticketReplyNotification(reply, newUuid()));
        }
        if (outcome.stale) {
            processCustomerNotifications();
        }
    });
    watcher->setFuture(
        QtConcurrent::run([helpdesk = dependencies_.helpdesk, settings, state = std::move(*session),
                           stop = backgroundStop_.get_token()]() mutable {
            PollOutcome outcome;
            try {
                const auto page = helpdesk->customerTicketNotifications(
                    settings, state.accessToken, state.lastNotificationMessageId, notificationPageSize, stop);
                if (!stillStored(state.accessToken)) {
                    outcome.stale = true;
                    return outcome;
                }
                state.lastNotificationMessageId = page.cursor;
                try {
                    CustomerSessionStore::save(state);
                } catch (const std::exception& error) {
                    // Shown replies that could not be remembered would be shown again.
                    ViewerLogger::error(error, pollFailed);
                    return outcome;
                }
                outcome.replies = page.items;
            } catch (const ViewerError& error) {
                if (error.kind() == ViewerErrorKind::http && error.status() == 401) {
                    // The server ended the session: silently logged out, unless
                    // the user has logged in again meanwhile.
                    const auto current = CustomerSessionStore::load();
                    if (!current || current->accessToken == state.accessToken) {
                        CustomerSessionStore::clear();
                        outcome.sessionEnded = true;
                    }
                } else if (!stop.stop_requested()) {
                    ViewerLogger::error(std::string(pollFailed) + ": " +
                                        withoutSecrets(errorDescription(error), {state.accessToken}));
                }
            } catch (const std::exception& error) {
                if (!stop.stop_requested()) {
                    ViewerLogger::error(std::string(pollFailed) + ": " +
                                        withoutSecrets(errorDescription(error), {state.accessToken}));
                }
            }
            return outcome;
        }));
}

void KovaViewerMenuBarApp::deliverNotification(const UserNotificationContent& content) {
    if (!effectiveSettings().notificationsEnabled) {
        return;
    }
    dependencies_.desktop->showUserNotification(content.identifier, content.title, content.body,
                                                content.ticketReference);
}

} // namespace kova::menubar
