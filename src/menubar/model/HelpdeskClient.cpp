#include "menubar/model/HelpdeskClient.hpp"

#include "agent/AgentService.hpp"
#include "api/KovaDeskApiClient.hpp"

namespace kova::menubar {
namespace {

class ProductHelpdeskClient final : public HelpdeskClient {
public:
    AgentOperationOutcome sendInventory(const ViewerSettings& settings, const std::string& reason,
                                        StopToken stop) override {
        return AgentService(settings).sendInventory(reason, stop);
    }
    AgentTicketResponse createTicket(const ViewerSettings& settings, const AgentTicketDraft& draft,
                                     const ViewerState& state, StopToken stop) override {
        return KovaDeskApiClient(settings).createTicket(draft, state, stop);
    }
    void sendChatMessage(const ViewerSettings& settings, const std::string& deviceUid,
                         const AgentChatMessage& message, StopToken stop) override {
        KovaDeskApiClient(settings).sendChatMessage(deviceUid, message, stop);
    }
    CustomerSessionResponse loginCustomer(const ViewerSettings& settings, const std::string& email,
                                          const std::string& password) override {
        return KovaDeskApiClient(settings).loginCustomer(email, password);
    }
    CustomerTicketNotificationPage customerTicketNotifications(const ViewerSettings& settings,
                                                               const std::string& sessionToken,
                                                               std::int64_t afterMessageId,
                                                               std::int64_t limit, StopToken stop) override {
        return KovaDeskApiClient(settings).customerTicketNotifications(sessionToken, afterMessageId, limit,
                                                                       stop);
    }
};

} // namespace

std::shared_ptr<HelpdeskClient> helpdeskClient() {
    return std::make_shared<ProductHelpdeskClient>();
}

} // namespace kova::menubar
