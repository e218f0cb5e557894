// The customer-panel endpoints of KovaDeskApiClient. They go straight to
// performRequest, so neither the device token nor the company token is ever
// attached, whatever the device side of the same client holds.
#include "api/KovaDeskApiClient.hpp"

#include "core/Errors.hpp"
#include "core/Stop.hpp"
#include "core/Strings.hpp"

#include <algorithm>

namespace kova {
namespace {

// A header value must not carry a line break or another control character:
// one would end the header and let the rest pass as another.
bool isHeaderSafe(std::string_view value) {
    return std::none_of(value.begin(), value.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F;
    });
}

} // namespace

CustomerSessionResponse KovaDeskApiClient::loginCustomer(const std::string& email,
                                                         const std::string& password, StopToken stop) {
    const auto url = endpointUrl("/api/customer/session");
    const Json body = {{"email", email}, {"password", password}};
    return CustomerSessionResponse::decode(
        performRequest("POST", url, body, std::nullopt, std::nullopt, stop));
}

CustomerTicketNotificationPage KovaDeskApiClient::customerTicketNotifications(const std::string& sessionToken,
                                                                              std::int64_t afterMessageId,
                                                                              std::int64_t limit,
                                                                              StopToken stop) {
    const auto after = std::max<std::int64_t>(afterMessageId, 0);
    const auto pageSize = std::clamp<std::int64_t>(limit, 1, 50);
    const auto url =
        endpointUrl("/api/customer/ticket-notifications?after_message_id=" + std::to_string(after) +
                    "&limit=" + std::to_string(pageSize));
    const auto token = trimmed(sessionToken);
    if (!isHeaderSafe(token)) {
        // The token itself stays out of the message: it is a secret.
        throw ViewerError::configuration("The customer session token contains control characters.");
    }
    return CustomerTicketNotificationPage::decode(
        performRequest("GET", url, std::nullopt, token, std::nullopt, stop));
}

} // namespace kova
