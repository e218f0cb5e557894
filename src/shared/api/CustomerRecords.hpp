#pragma once

#include "core/Json.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kova {

// The records of the customer panel. Each decodes strictly: a missing
// required key or a value of the wrong type throws DecodingError; optional
// keys may be absent or null. Decoding errors name keys, never values, so a
// session token cannot end up in a message.

struct CustomerProfile {
    std::string email;
    std::string fullName;
    std::optional<std::string> phone;
    std::optional<std::string> organizationName;
    bool canViewOrganizationTickets = false;

    static CustomerProfile fromJson(const Json& object, std::string_view what);
    // Absent optionals are left out.
    Json toJson() const;
    bool operator==(const CustomerProfile&) const = default;
};

struct CustomerSessionResponse {
    std::string accessToken; // secret: never logged
    std::string expiresAt;   // kept as the server's text
    CustomerProfile customer;

    static CustomerSessionResponse decode(std::string_view body);
    static CustomerSessionResponse fromJson(const Json& object, std::string_view what);
    Json toJson() const;
    bool operator==(const CustomerSessionResponse&) const = default;
};

struct CustomerTicketNotification {
    std::int64_t messageId = 0;
    std::string ticketPublicId;
    std::string ticketNumber;
    std::string subject;
    std::string messageText;
    std::string createdAt;

    static CustomerTicketNotification fromJson(const Json& object, std::string_view what);
};

struct CustomerTicketNotificationPage {
    std::vector<CustomerTicketNotification> items;
    std::int64_t cursor = 0;
    bool hasMore = false;

    static CustomerTicketNotificationPage decode(std::string_view body);
};

} // namespace kova
