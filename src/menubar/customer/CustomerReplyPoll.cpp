#include "menubar/customer/CustomerReplyPoll.hpp"

#include "core/Errors.hpp"
#include "core/ViewerLogger.hpp"
#include "menubar/customer/CustomerNotificationRules.hpp"
#include "menubar/ui/Background.hpp"

namespace kova::menubar {
namespace {

constexpr std::int64_t notificationPageSize = 20;
constexpr auto pollFailed = "Customer ticket notifications poll failed";

// Runs on a worker thread; never throws.
CustomerReplies poll(HelpdeskClient& helpdesk, const ViewerSettings& settings, CustomerSessionState state,
                     StopToken stop) {
    CustomerReplies outcome;
    try {
        const auto page = helpdesk.customerTicketNotifications(
            settings, state.accessToken, state.lastNotificationMessageId, notificationPageSize, stop);
        // A logout or a new login while the request ran makes its answer stale.
        if (const auto current = CustomerSessionStore::load();
            !current || current->accessToken != state.accessToken) {
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
    } catch (const std::exception& error) {
        if (const auto* viewerError = dynamic_cast<const ViewerError*>(&error);
            viewerError && viewerError->kind() == ViewerErrorKind::http && viewerError->status() == 401) {
            // The server ended the session: logged out, unless a new login came meanwhile.
            const auto current = CustomerSessionStore::load();
            if (!current || current->accessToken == state.accessToken) {
                CustomerSessionStore::clear();
                outcome.sessionEnded = true;
            }
        } else if (!stop.stop_requested()) {
            ViewerLogger::error(std::string(pollFailed) + ": " +
                                withoutSecrets(errorDescription(error), {state.accessToken}));
        }
    }
    return outcome;
}

} // namespace

CustomerReplyPoll::CustomerReplyPoll(std::shared_ptr<HelpdeskClient> helpdesk, ViewerSettings settings,
                                     CustomerSessionState session, StopToken stop, QObject* parent)
    : QObject(parent) {
    runInBackground(
        this,
        [helpdesk = std::move(helpdesk), settings = std::move(settings), session = std::move(session),
         stop = std::move(stop)] { return poll(*helpdesk, settings, session, stop); },
        [this](const CustomerReplies& found) {
            Q_EMIT finished(found);
            deleteLater();
        });
}

} // namespace kova::menubar
