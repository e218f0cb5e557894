#pragma once

#include "config/ViewerState.hpp"
#include "core/Json.hpp"
#include "core/Time.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kova {

// One file of a ticket, read by the ticket form.
struct AgentTicketAttachmentDraft {
    std::string filename;
    std::string contentType;
    std::string data; // the file's bytes
    // For an image embedded in the description: the marker that stands for it
    // in descriptionHtml.
    std::optional<std::string> inlinePlaceholder;
};

// A ticket as the form assembled it; the strings are sent as they are.
struct AgentTicketDraft {
    std::string customerName;
    std::string customerEmail;
    std::vector<std::string> ccEmails;
    std::string phone;
    std::string subject;
    std::string descriptionHtml;
    std::string priority;
    std::string ticketType;
    std::vector<AgentTicketAttachmentDraft> attachments;
};

struct AgentTicketResponse {
    std::string publicId;
    std::optional<std::string> ticketNumber;
    std::optional<std::string> ticketUrl;
    std::string subject;
    std::string status;

    // The number shown to the user: the ticket number when the server gave a
    // non-blank one, else "#" and the public id without its "KOVA-" prefix.
    std::string displayNumber() const;

    static AgentTicketResponse decode(std::string_view body);
};

// The body of a ticket submission as compact JSON text (sorted keys, the
// same text sanitizeJson and compactJson would give). The request id and the
// time are passed in so that one submission can be repeated unchanged.
std::string ticketRequestBody(const AgentTicketDraft& draft, const ViewerState& state,
                              const std::string& clientRequestId, Timestamp submittedAt);

} // namespace kova
