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

std::string ticketRequestBody(const AgentTicketDraft& draft, const ViewerState& state,
                              const std::string& clientRequestId, Timestamp submittedAt) {
    const Json rest = {
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
    };
    const auto restText = compactJson(sanitizeJson(rest));
    const auto text = [](const std::string& value) { return compactJson(Json(value)); };

    // The attachments are written as text so that their Base64 is held once
    // (a JSON value, its sanitised copy and its serialisation would hold it
    // three times). "attachments" sorts before every other key, so the result
    // is exactly the compact form of the whole document.
    std::size_t size = restText.size() + 20;
    for (const auto& attachment : draft.attachments) {
        size += base64Length(attachment.data.size()) + 80 + 2 * attachment.filename.size() +
                2 * attachment.contentType.size() + 2 * attachment.inlinePlaceholder.value_or("").size();
    }
    std::string out;
    out.reserve(size);
    out += "{\"attachments\":[";
    for (std::size_t i = 0; i < draft.attachments.size(); ++i) {
        const auto& attachment = draft.attachments[i];
        out += i == 0 ? "{" : ",{";
        out += "\"content_type\":" + text(attachment.contentType) + ",\"data_base64\":\"";
        appendBase64(out, attachment.data);
        out += "\",\"filename\":" + text(attachment.filename);
        if (attachment.inlinePlaceholder) {
            out += ",\"inline_placeholder\":" + text(*attachment.inlinePlaceholder);
        }
        out += "}";
    }
    out += "],";
    out.append(restText, 1, std::string::npos);
    return out;
}

} // namespace kova
