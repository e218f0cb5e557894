#include "api/CustomerRecords.hpp"

namespace kova {
namespace {

// Called after the object's other members were read, so `object` is one.
const Json& requireObject(const Json& object, std::string_view key, std::string_view what) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_object()) {
        throw DecodingError(std::string(what) + " could not be decoded: \"" + std::string(key) +
                            "\" is not an object.");
    }
    return *it;
}

} // namespace

CustomerProfile CustomerProfile::fromJson(const Json& object, std::string_view what) {
    CustomerProfile p;
    p.email = requireString(object, "email", what);
    p.fullName = requireString(object, "full_name", what);
    p.phone = optionalString(object, "phone", what);
    p.organizationName = optionalString(object, "organization_name", what);
    p.canViewOrganizationTickets = requireBool(object, "can_view_organization_tickets", what);
    return p;
}

Json CustomerProfile::toJson() const {
    Json out = {
        {"email", email},
        {"full_name", fullName},
        {"can_view_organization_tickets", canViewOrganizationTickets},
    };
    if (phone) {
        out["phone"] = *phone;
    }
    if (organizationName) {
        out["organization_name"] = *organizationName;
    }
    return out;
}

CustomerSessionResponse CustomerSessionResponse::decode(std::string_view body) {
    constexpr std::string_view what = "The customer session";
    return fromJson(parseJson(body, what), what);
}

CustomerSessionResponse CustomerSessionResponse::fromJson(const Json& object, std::string_view what) {
    CustomerSessionResponse s;
    s.accessToken = requireString(object, "access_token", what);
    s.expiresAt = requireString(object, "expires_at", what);
    s.customer = CustomerProfile::fromJson(requireObject(object, "customer", what), what);
    return s;
}

Json CustomerSessionResponse::toJson() const {
    return {{"access_token", accessToken}, {"expires_at", expiresAt}, {"customer", customer.toJson()}};
}

CustomerTicketNotification CustomerTicketNotification::fromJson(const Json& object, std::string_view what) {
    CustomerTicketNotification n;
    n.messageId = requireInt64(object, "message_id", what);
    n.ticketPublicId = requireString(object, "ticket_public_id", what);
    n.ticketNumber = requireString(object, "ticket_number", what);
    n.subject = requireString(object, "subject", what);
    n.messageText = requireString(object, "message_text", what);
    n.createdAt = requireString(object, "created_at", what);
    return n;
}

CustomerTicketNotificationPage CustomerTicketNotificationPage::decode(std::string_view body) {
    constexpr std::string_view what = "The ticket notifications";
    const auto json = parseJson(body, what);
    CustomerTicketNotificationPage page;
    const auto items = json.is_object() ? json.find("items") : json.end();
    if (items == json.end() || !items->is_array()) {
        throw DecodingError(std::string(what) + " could not be decoded: \"items\" is not an array.");
    }
    for (const auto& item : *items) {
        page.items.push_back(CustomerTicketNotification::fromJson(item, what));
    }
    page.cursor = requireInt64(json, "cursor", what);
    page.hasMore = requireBool(json, "has_more", what);
    return page;
}

} // namespace kova
