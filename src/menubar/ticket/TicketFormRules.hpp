#pragma once

#include "api/TicketRecords.hpp"

#include <QColor>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The ticket form's decisions: choices, validation, CC parsing, the draft,
// the attachment rules and texts. The form widget only binds these.
namespace kova::menubar {

struct TicketChoice {
    const char* title; // UTF-8
    const char* value;
    QColor colour; // the priority indicator; unused for departments
};

inline const std::array<TicketChoice, 4> ticketPriorities{{
    {"Niski", "low", QColor(37, 99, 235)},
    {"Normalny", "normal", QColor(22, 163, 74)},
    {"Wysoki", "high", QColor(217, 45, 32)},
    {"People are dying priority", "critical", QColor(17, 24, 39)},
}};
inline constexpr int initialTicketPriorityIndex = 1;

inline const std::array<TicketChoice, 4> ticketDepartments{{
    {"Tarnvik", "tarnvik", {}},
    {"Kova-DEV", "kova-dev", {}},
    {"Kovasecurity", "kovasecurity", {}},
    {"Kovacloud", "kovacloud", {}},
}};

// Out-of-range indexes fall back to "normal" and "tarnvik".
std::string ticketPriorityValue(int index);
QColor ticketPriorityColour(int index);
std::string ticketTypeValue(int index);

// Refused before anything is sent: the daemon has not registered the Mac yet.
inline constexpr char missingDeviceUidMessage[] =
    "Urządzenie nie ma jeszcze Device UID. Wymuś audit i spróbuj ponownie.";

// The sentence for a failed submission. The missing Device UID keeps its own
// words: the generic configuration sentence would send the user to the
// settings, which cannot help.
std::string ticketFailureMessage(const std::exception& failure);

inline constexpr char ticketEmailExample[] = "jan.kowalski@firma.pl";
inline constexpr char ticketCcExample[] = "anna.nowak@firma.pl, biuro@firma.pl";

struct TicketAlert {
    QString title;
    QString text;
    bool operator==(const TicketAlert&) const = default;
};

// What the form holds at submission, as typed.
struct TicketFormInput {
    QString customerName;
    QString customerEmail;
    QString ccEmails;
    QString phone;
    QString subject;
    QString descriptionHtml; // the editor's last HTML
    int priorityIndex = initialTicketPriorityIndex;
    int departmentIndex = 0;
};

// The CC field split at commas, semicolons and line breaks, trimmed,
// lower-cased, without empty pieces and repeats (first occurrence kept).
QStringList parsedTicketCcEmails(const QString& text);

bool isValidTicketEmail(const QString& address);
bool isValidTicketPhone(const QString& phone);

// The description as measured: tags removed, then trimmed (entities stay).
QString measuredTicketDescription(const QString& html);

// The first rule the submission breaks, in the form's order; none when it
// may be sent.
std::optional<TicketAlert> ticketValidationFailure(const TicketFormInput& input, std::size_t attachmentCount);

// One chosen file, read whole when it was picked.
struct TicketAttachmentSelection {
    std::string data;
    QString filename;
    QString contentType;
    std::int64_t size = 0;
    std::optional<QString> inlinePlaceholder;
};

inline constexpr std::size_t maximumTicketAttachments = 10;
inline constexpr std::int64_t maximumTicketAttachmentBytes = 15 * 1024 * 1024;

// The draft of a validated form: trimmed fields, the CC list without the
// sender's own address, the attachments in list order.
AgentTicketDraft ticketDraft(const TicketFormInput& input,
                             const std::vector<TicketAttachmentSelection>& attachments);

// Appends the files at `paths` in order, each read whole and checked; every
// refused file is reported through `warn` and skipped, and the count limit
// ends the batch. Unreadable files are also logged.
void addTicketAttachments(std::vector<TicketAttachmentSelection>& list, const QStringList& paths,
                          const std::function<void(const TicketAlert&)>& warn);

// "application/octet-stream" when the file name gives no known type.
QString ticketAttachmentMimeType(const QString& path);

// "Brak załączników", or "N plik(i), " and the total size.
QString ticketAttachmentsSummary(const std::vector<TicketAttachmentSelection>& list);
// A byte count in decimal kilobytes or megabytes, like the platform's file
// size formatter limited to those two units.
QString fileSizeText(std::int64_t bytes);

} // namespace kova::menubar
