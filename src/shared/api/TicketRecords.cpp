#include "api/TicketRecords.hpp"

#include "config/MacViewerBuildInfo.hpp"
#include "core/Base64.hpp"
#include "core/Strings.hpp"

namespace kova {

std::string AgentTicketResponse::displayNumber() const {
    if (ticketNumber && !trimmed(*ticketNumber).empty()) {
        return *ticketNumber;
    }
    constexpr std::string_view prefix = "KOVA-";
    if (publicId.size() >= prefix.size() && equalsIgnoringCase(publicId.substr(0, prefix.size()), prefix)) {
        return "#" + publicId.substr(prefix.size());
    }
    return publicId;
}

AgentTicketResponse AgentTicketResponse::decode(std::string_view body) {
    constexpr std::string_view what = "The ticket response";
    const auto json = parseJson(body, what);
    AgentTicketResponse r;
    r.publicId = requireString(json, "public_id", what);
    r.ticketNumber = optionalString(json, "ticket_number", what);
    r.ticketUrl = optionalString(json, "ticket_url", what);
    r.subject = requireString(json, "subject", what);
    r.status = requireString(json, "status", what);
    return r;
}

Json ticketRequestBody(const AgentTicketDraft& draft, const ViewerState& state,
                       const std::string& clientRequestId, Timestamp submittedAt) {
    Json attachments = Json::array();
    for (const auto& attachment : draft.attachments) {
        Json item = {
            {"filename", attachment.filename},
            {"content_type", attachment.contentType},
            {"data_base64", base64Encoded(attachment.data)},
        };
        if (attachment.inlinePlaceholder) {
            item["inline_placeholder"] = *attachment.inlinePlaceholder;
        }
        attachments.push_back(std::move(item));
    }
    return {
        {"device_uid", state.deviceUid.value_or("")},
        {"support_id", state.supportId.value_or("")},
        {"client_request_id", clientRequestId},
        {"customer_name", draft.customerName},
        {"customer_email", draft.customerEmail},
        {"cc_emails", draft.ccEmails},
        {"phone", draft.phone},
        {"subject", draft.subject},
        {"description", draft.descriptionHtml},
        {"priority", draft.priority},
        {"ticket_type", draft.ticketType},
        {"source_metadata",
         {{"client_app",
           {{"platform", "macos"},
            {"agent_version", std::string(MacViewerBuildInfo::version)},
            {"submitted_at", formatIso8601(submittedAt)}}}}},
        {"attachments", std::move(attachments)},
    };
}

} // namespace kova
