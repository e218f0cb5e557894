#include "api/CustomerRecords.hpp"

#include <gtest/gtest.h>

namespace kova {
namespace {

TEST(CustomerRecords, RequiredAndOptionalKeys) {
    const auto session =
        CustomerSessionResponse::decode(R"({"access_token":"cs_1","expires_at":"2026-03-01T14:05:09.250Z",
        "customer":{"email":"anna@example.com","full_name":"Anna Nowak","phone":null,
                    "can_view_organization_tickets":true,"extra":1}})");
    EXPECT_EQ(session.expiresAt, "2026-03-01T14:05:09.250Z");
    EXPECT_EQ(session.customer.phone, std::nullopt);
    EXPECT_EQ(session.customer.organizationName, std::nullopt);
    EXPECT_TRUE(session.customer.canViewOrganizationTickets);
    // Encoded with the same keys, absent optionals left out, and read back unchanged.
    EXPECT_FALSE(session.toJson()["customer"].contains("phone"));
    EXPECT_EQ(CustomerSessionResponse::fromJson(session.toJson(), "again"), session);

    const char* badSessions[] = {
        R"({"expires_at":"x","customer":{"email":"e","full_name":"f","can_view_organization_tickets":false}})",
        R"({"access_token":"t","expires_at":"x","customer":{"email":"e","full_name":"f"}})",
        R"({"access_token":"t","expires_at":"x","customer":{"email":"e","full_name":"f","phone":5,"can_view_organization_tickets":false}})",
        R"({"access_token":"t","expires_at":"x","customer":"anna"})",
        R"({"access_token":"t","expires_at":"x","customer":{"email":"e","full_name":"f","can_view_organization_tickets":"yes"}})",
        R"([])",
    };
    for (const auto* text : badSessions) {
        EXPECT_THROW(CustomerSessionResponse::decode(text), DecodingError) << text;
    }

    const auto page = CustomerTicketNotificationPage::decode(R"({"items":[
        {"message_id":7,"ticket_public_id":"KOVA-1","ticket_number":"HD-1","subject":"s","message_text":"m","created_at":"c"},
        {"message_id":9,"ticket_public_id":"KOVA-2","ticket_number":"HD-2","subject":"s2","message_text":" ","created_at":"c"}],
        "cursor":9,"has_more":false})");
    ASSERT_EQ(page.items.size(), 2u);
    EXPECT_EQ(page.items[1].messageId, 9);
    EXPECT_EQ(page.items[1].ticketNumber, "HD-2");
    EXPECT_EQ(page.cursor, 9);

    const char* badPages[] = {
        // One item without "ticket_number" spoils the whole page.
        R"({"items":[{"message_id":7,"ticket_public_id":"K","ticket_number":"H","subject":"s","message_text":"m","created_at":"c"},
                     {"message_id":8,"ticket_public_id":"K","subject":"s","message_text":"m","created_at":"c"}],"cursor":8,"has_more":false})",
        R"({"items":[{"message_id":"7","ticket_public_id":"K","ticket_number":"H","subject":"s","message_text":"m","created_at":"c"}],"cursor":7,"has_more":false})",
        R"({"items":[1],"cursor":0,"has_more":false})",
        R"({"items":{},"cursor":0,"has_more":false})",
        R"({"items":[],"has_more":false})",
        R"({"items":[],"cursor":0})",
    };
    for (const auto* text : badPages) {
        EXPECT_THROW(CustomerTicketNotificationPage::decode(text), DecodingError) << text;
    }
}

} // namespace
} // namespace kova
