#include "menubar/ticket/TicketSubmission.hpp"

#include "config/AgentConnectionState.hpp"
#include "core/Errors.hpp"
#include "core/Strings.hpp"
#include "core/ViewerLogger.hpp"
#include "menubar/ticket/TicketFormRules.hpp"
#include "menubar/ui/Background.hpp"

namespace kova::menubar {
namespace {

struct TicketOutcome {
    std::optional<AgentTicketResponse> response;
    std::exception_ptr error;
};

// Runs on a worker thread; never throws.
TicketOutcome sendTicket(const std::shared_ptr<HelpdeskClient>& helpdesk, const ViewerSettings& settings,
                         const ViewerState& state, const std::string& deviceUid,
                         const AgentTicketDraft& draft, StopToken stop) {
    std::size_t bytes = 0;
    for (const auto& attachment : draft.attachments) {
        bytes += attachment.data.size();
    }
    ViewerLogger::info("Ticket submission started device=" + deviceUid + " attachments=" +
                       std::to_string(draft.attachments.size()) + " bytes=" + std::to_string(bytes));
    try {
        auto response = helpdesk->createTicket(settings, draft, state, stop);
        ViewerLogger::info("Ticket submission completed id=" + response.displayNumber());
        return {std::move(response), nullptr};
    } catch (const std::exception& error) {
        ViewerLogger::error(error, "Ticket submission failed device=" + deviceUid);
        try {
            AgentConnectionState::record(error);
        } catch (const std::exception&) {
            // The state file belongs to root; the daemon records its own outcome.
        }
        return {std::nullopt, std::current_exception()};
    }
}

} // namespace

TicketSubmission::TicketSubmission(ViewerModel& model, std::shared_ptr<HelpdeskClient> helpdesk,
                                   StopToken stop, QObject* parent)
    : QObject(parent), model_(model), helpdesk_(std::move(helpdesk)), stop_(std::move(stop)) {}

void TicketSubmission::submit(AgentTicketDraft draft, TicketCompletion completion) {
    model_.reload();
    if (!model_.settings()) {
        completion(std::nullopt, std::make_exception_ptr(
                                     ViewerError::configuration("Brak konfiguracji sekwo.settings.json.")));
        return;
    }
    const auto deviceUid = trimmed(model_.state().deviceUid.value_or(""));
    if (deviceUid.empty()) {
        completion(std::nullopt,
                   std::make_exception_ptr(ViewerError::configuration(missingDeviceUidMessage)));
        return;
    }
    runInBackground(
        this,
        [helpdesk = helpdesk_, settings = *model_.settings(), state = model_.state(), deviceUid,
         draft = std::move(draft),
         stop = stop_] { return sendTicket(helpdesk, settings, state, deviceUid, draft, stop); },
        [completion = std::move(completion)](TicketOutcome outcome) {
            completion(std::move(outcome.response), std::move(outcome.error));
        });
}

} // namespace kova::menubar
