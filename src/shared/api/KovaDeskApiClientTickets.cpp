// The ticket endpoint of KovaDeskApiClient.
#include "api/KovaDeskApiClient.hpp"

#include "core/Stop.hpp"
#include "core/Strings.hpp"
#include "core/Uuid.hpp"

namespace kova {

AgentTicketResponse KovaDeskApiClient::createTicket(const AgentTicketDraft& draft, const ViewerState& state,
                                                    StopToken stop) {
    const auto url = endpointUrl("/api/agent/tickets");
    // Built once: the transport's retry and the fall-back after a rejected
    // device token send this same body, so the server can tell a repeated
    // submission from a new ticket.
    auto body = ticketRequestBody(draft, state, asciiLowercased(makeUuid()), nowSeconds());
    return AgentTicketResponse::decode(sendWithAgentAuthorization("POST", url, std::move(body), stop));
}

} // namespace kova
