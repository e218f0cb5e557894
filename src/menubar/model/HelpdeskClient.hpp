#pragma once

#include "api/AgentRecords.hpp"
#include "api/CustomerRecords.hpp"
#include "api/TicketRecords.hpp"
#include "config/ViewerSettings.hpp"
#include "config/ViewerState.hpp"
#include "core/ConnectionIssue.hpp"
#include "core/Stop.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace kova::menubar {

// Everything the menu bar asks the helpdesk, with the settings in effect. Calls
// block on worker threads and throw what the API client throws (the audit never does).
class HelpdeskClient {
public:
    virtual ~HelpdeskClient() = default;
    virtual AgentOperationOutcome sendInventory(const ViewerSettings& settings, const std::string& reason,
                                                StopToken stop) = 0;
    virtual AgentTicketResponse createTicket(const ViewerSettings& settings, const AgentTicketDraft& draft,
                                             const ViewerState& state, StopToken stop) = 0;
    virtual void sendChatMessage(const ViewerSettings& settings, const std::string& deviceUid,
                                 const AgentChatMessage& message, StopToken stop) = 0;
    virtual CustomerSessionResponse loginCustomer(const ViewerSettings& settings, const std::string& email,
                                                  const std::string& password) = 0;
    virtual CustomerTicketNotificationPage
    customerTicketNotifications(const ViewerSettings& settings, const std::string& sessionToken,
                                std::int64_t afterMessageId, std::int64_t limit, StopToken stop) = 0;
};

// The product's: a KovaDeskApiClient for each call, and AgentService for the audit.
std::shared_ptr<HelpdeskClient> helpdeskClient();

} // namespace kova::menubar
