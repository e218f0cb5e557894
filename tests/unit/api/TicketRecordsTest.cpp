#include "api/TicketRecords.hpp"
#include "config/MacViewerBuildInfo.hpp"

#include <gtest/gtest.h>

namespace kova {
namespace {

TEST(TicketRequestBody, KeysValuesAndAttachmentsInOrder) {
    AgentTicketDraft draft{"Jan Kowalski",
                           "jan@example.com",
                           {"a@example.com", "b@example.com"},
                           "+48 600 100 200",
                           "Drukarka",
                           "<p>Nie drukuje &amp; \"piszczy\"</p>",
                           "high",
                           "incident",
                           {}};
    draft.attachments.push_back(
        {"zrzut \"1\"\\ż.png", "image/png", std::string("\x89PNG\0\x01", 6), "[[img-1]]"});
    draft.attachments.push_back({"log.txt", "text/plain", "abc", std::nullopt});
    ViewerState state;
    state.deviceUid = "mac-1";
    state.supportId = "S-1";
    const auto at = *parseIso8601("2026-03-01T14:05:09Z");

    const auto text = ticketRequestBody(draft, state, "0b0e6a9e-1111-4c4c-8888-000000000001", at);
    const auto body = Json::parse(text);
    const Json expected = {
        {"device_uid", "mac-1"},
        {"support_id", "S-1"},
        {"client_request_id", "0b0e6a9e-1111-4c4c-8888-000000000001"},
        {"customer_name", "Jan Kowalski"},
        {"customer_email", "jan@example.com"},
        {"cc_emails", {"a@example.com", "b@example.com"}},
        {"phone", "+48 600 100 200"},
        {"subject", "Drukarka"},
        {"description", "<p>Nie drukuje &amp; \"piszczy\"</p>"},
        {"priority", "high"},
        {"ticket_type", "incident"},
        {"source_metadata",
         {{"client_app",
           {{"platform", "macos"},
            {"agent_version", std::string(MacViewerBuildInfo::version)},
            {"submitted_at", "2026-03-01T14:05:09Z"}}}}},
        {"attachments",
         Json::array({{{"filename", "zrzut \"1\"\\ż.png"},
                       {"content_type", "image/png"},
                       {"data_base64", "iVBORwAB"},
                       {"inline_placeholder", "[[img-1]]"}},
                      {{"filename", "log.txt"}, {"content_type", "text/plain"}, {"data_base64", "YWJj"}}})},
    };
    EXPECT_EQ(body, expected);
    EXPECT_EQ(text, compactJson(expected));

    // No identifiers and no attachments: empty strings and an empty array, never null.
    const auto bare = Json::parse(ticketRequestBody(AgentTicketDraft{}, ViewerState{}, "id", at));
    EXPECT_EQ(bare["device_uid"], "");
    EXPECT_EQ(bare["support_id"], "");
    EXPECT_EQ(bare["attachments"], Json::array());
    EXPECT_EQ(bare["cc_emails"], Json::array());
}

TEST(AgentTicketResponse, DecodingAndDisplayNumber) {
    const auto full = AgentTicketResponse::decode(
        R"({"public_id":"KOVA-000042","ticket_number":"HD-01042","ticket_url":"https://x/t/42","subject":"s","status":"new"})");
    EXPECT_EQ(full.displayNumber(), "HD-01042");
    EXPECT_EQ(full.ticketUrl, "https://x/t/42");

    const struct {
        std::optional<std::string> number;
        std::string publicId;
        std::string shown;
    } rows[] = {
        {"  \n", "kova-000007", "#000007"}, {std::nullopt, "KoVa-12", "#12"}, {"", "T-9", "T-9"},
        {std::nullopt, "KOVA", "KOVA"},     {" 17 ", "KOVA-1", " 17 "},
    };
    for (const auto& row : rows) {
        AgentTicketResponse r{row.publicId, row.number, std::nullopt, "s", "new"};
        EXPECT_EQ(r.displayNumber(), row.shown) << row.publicId;
    }

    const auto minimal =
        AgentTicketResponse::decode(R"({"public_id":"p","ticket_number":null,"subject":"s","status":"new"})");
    EXPECT_EQ(minimal.ticketNumber, std::nullopt);
    EXPECT_THROW(AgentTicketResponse::decode(R"({"public_id":"p","subject":"s"})"), DecodingError);
    EXPECT_THROW(AgentTicketResponse::decode(R"({"public_id":7,"subject":"s","status":"new"})"),
                 DecodingError);
    EXPECT_THROW(
        AgentTicketResponse::decode(R"({"public_id":"p","ticket_number":5,"subject":"s","status":"new"})"),
        DecodingError);
}

} // namespace
} // namespace kova
