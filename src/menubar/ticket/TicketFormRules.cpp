#include "menubar/ticket/TicketFormRules.hpp"

#include "core/ConnectionIssue.hpp"
#include "core/Errors.hpp"
#include "core/Unicode.hpp"
#include "core/ViewerLogger.hpp"
#include "menubar/ui/QtText.hpp"

#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QMimeDatabase>
#include <QRegularExpression>

#include <cmath>
#include <stdexcept>

namespace kova::menubar {
namespace {

const TicketChoice& choice(const std::array<TicketChoice, 4>& table, int index, int fallback) {
    return index >= 0 && index < static_cast<int>(table.size()) ? table[static_cast<std::size_t>(index)]
                                                                : table[static_cast<std::size_t>(fallback)];
}

std::size_t characterCount(const QString& text) {
    return graphemeCount(stdText(text));
}

TicketAlert alert(const char* title, const QString& text) {
    return {QString::fromUtf8(title), text};
}

TicketAlert alert(const char* title, const char* text) {
    return alert(title, QString::fromUtf8(text));
}

TicketAlert tooLarge(const QString& filename) {
    return alert("Plik jest za duży", filename + QStringLiteral(" ma więcej niż 15 MB."));
}

} // namespace

std::string ticketPriorityValue(int index) {
    return choice(ticketPriorities, index, initialTicketPriorityIndex).value;
}

QColor ticketPriorityColour(int index) {
    return choice(ticketPriorities, index, initialTicketPriorityIndex).colour;
}

std::string ticketTypeValue(int index) {
    return choice(ticketDepartments, index, 0).value;
}

QStringList parsedTicketCcEmails(const QString& text) {
    static const QRegularExpression separators(QStringLiteral("[,;\\n\\r]"));
    QStringList result;
    for (const auto& piece : text.split(separators)) {
        const auto address = piece.trimmed().toLower();
        if (!address.isEmpty() && !result.contains(address)) {
            result.append(address);
        }
    }
    return result;
}

bool isValidTicketEmail(const QString& address) {
    // \A and \z: "$" would also accept a trailing line break.
    static const QRegularExpression pattern(
        QStringLiteral("\\A[^@\\s<>,;]+@[^@\\s<>,;]+\\.[^@\\s<>,;]{2,}\\z"),
        QRegularExpression::CaseInsensitiveOption);
    return pattern.match(address).hasMatch();
}

bool isValidTicketPhone(const QString& phone) {
    static const QRegularExpression pattern(QStringLiteral("\\A[0-9+() .-]{6,32}\\z"));
    return phone.isEmpty() || pattern.match(phone).hasMatch();
}

QString measuredTicketDescription(const QString& html) {
    static const QRegularExpression tag(QStringLiteral("<[^>]+>"));
    return QString(html).remove(tag).trimmed();
}

std::optional<TicketAlert> ticketValidationFailure(const TicketFormInput& input,
                                                   std::size_t attachmentCount) {
    if (!isValidTicketEmail(input.customerEmail.trimmed())) {
        return alert("Nieprawidłowy adres e-mail", QStringLiteral("Podaj pełny adres e-mail, np. ") +
                                                       QString::fromLatin1(ticketEmailExample) + u'.');
    }
    const auto cc = parsedTicketCcEmails(input.ccEmails);
    for (const auto& address : cc) {
        if (!isValidTicketEmail(address)) {
            return alert("Nieprawidłowy adres DW",
                         "Wpisz pełne adresy e-mail rozdzielone przecinkiem, średnikiem lub nową linią.");
        }
    }
    if (cc.size() > 20) {
        return alert("Za dużo adresów DW", "Możesz podać maksymalnie 20 adresów DW.");
    }
    if (!isValidTicketPhone(input.phone.trimmed())) {
        return alert("Nieprawidłowy telefon",
                     "Podaj numer telefonu zawierający tylko cyfry, spacje oraz znaki + ( ) . -.");
    }
    if (characterCount(input.subject.trimmed()) < 3) {
        return alert("Brakuje tematu", "Temat zgłoszenia musi mieć co najmniej 3 znaki.");
    }
    if (characterCount(measuredTicketDescription(input.descriptionHtml.trimmed())) < 3 &&
        attachmentCount == 0) {
        return alert("Brakuje opisu", "Opis zgłoszenia musi mieć co najmniej 3 znaki albo zawierać obraz.");
    }
    if (attachmentCount > maximumTicketAttachments) {
        return alert("Za dużo załączników", "Możesz dołączyć maksymalnie 10 plików.");
    }
    return std::nullopt;
}

AgentTicketDraft ticketDraft(const TicketFormInput& input,
                             const std::vector<TicketAttachmentSelection>& attachments) {
    AgentTicketDraft draft;
    draft.customerName = stdText(input.customerName.trimmed());
    const auto email = input.customerEmail.trimmed();
    draft.customerEmail = stdText(email);
    for (const auto& address : parsedTicketCcEmails(input.ccEmails)) {
        if (address.compare(email, Qt::CaseInsensitive) != 0) {
            draft.ccEmails.push_back(stdText(address));
        }
    }
    draft.phone = stdText(input.phone.trimmed());
    draft.subject = stdText(input.subject.trimmed());
    for (const auto& attachment : attachments) {
        AgentTicketAttachmentDraft file;
        file.filename = stdText(attachment.filename);
        file.contentType = stdText(attachment.contentType);
        file.data = attachment.data;
        if (attachment.inlinePlaceholder) {
            file.inlinePlaceholder = stdText(*attachment.inlinePlaceholder);
        }
        draft.attachments.push_back(std::move(file));
    }
    const auto html = input.descriptionHtml.trimmed();
    if (!html.isEmpty()) {
        draft.descriptionHtml = stdText(html);
    } else if (!draft.attachments.empty()) {
        draft.descriptionHtml = "<p>Załączono obraz.</p>";
    }
    draft.priority = ticketPriorityValue(input.priorityIndex);
    draft.ticketType = ticketTypeValue(input.departmentIndex);
    return draft;
}

QString ticketAttachmentMimeType(const QString& path) {
    // By name, like the platform's content type of a file: unknown names
    // stay untyped rather than guessed from the bytes.
    const auto type = QMimeDatabase().mimeTypeForFile(path, QMimeDatabase::MatchExtension);
    if (!type.isValid() || type.isDefault()) {
        return QStringLiteral("application/octet-stream");
    }
    return type.name();
}

void addTicketAttachments(std::vector<TicketAttachmentSelection>& list, const QStringList& paths,
                          const std::function<void(const TicketAlert&)>& warn) {
    for (const auto& path : paths) {
        if (list.size() >= maximumTicketAttachments) {
            warn(alert("Za dużo załączników", "Możesz dołączyć maksymalnie 10 plików."));
            return;
        }
        const QFileInfo info(path);
        const auto filename = info.fileName();
        if (info.exists() && info.size() > maximumTicketAttachmentBytes) {
            warn(tooLarge(filename));
            continue;
        }
        QFile file(path);
        std::string data;
        try {
            if (!file.open(QIODevice::ReadOnly)) {
                throw std::runtime_error(stdText(file.errorString()));
            }
            // One byte past the limit is enough to refuse a file that grew
            // since its size was asked; more is never held.
            const auto bytes = file.read(maximumTicketAttachmentBytes + 1);
            if (file.error() != QFileDevice::NoError) {
                throw std::runtime_error(stdText(file.errorString()));
            }
            data.assign(bytes.constData(), static_cast<std::size_t>(bytes.size()));
        } catch (const std::exception& error) {
            ViewerLogger::error(error, "Ticket attachment read failed file=" + stdText(filename));
            warn(alert("Nie można odczytać załącznika", QStringLiteral("Nie udało się odczytać pliku ") +
                                                            filename +
                                                            QStringLiteral(". Wybierz go ponownie.")));
            continue;
        }
        if (data.empty()) {
            warn(alert("Pusty plik", filename + QStringLiteral(" nie zawiera danych.")));
            continue;
        }
        if (static_cast<std::int64_t>(data.size()) > maximumTicketAttachmentBytes) {
            warn(tooLarge(filename));
            continue;
        }
        TicketAttachmentSelection selection;
        selection.size = static_cast<std::int64_t>(data.size());
        selection.data = std::move(data);
        selection.filename = filename;
        selection.contentType = ticketAttachmentMimeType(path);
        list.push_back(std::move(selection));
    }
}

QString fileSizeText(std::int64_t bytes) {
    const QLocale locale;
    const auto kilobytes = static_cast<std::int64_t>(std::llround(static_cast<double>(bytes) / 1000.0));
    if (kilobytes < 1000) {
        return locale.toString(std::max<std::int64_t>(kilobytes, bytes > 0 ? 1 : 0)) + QStringLiteral(" KB");
    }
    // One fraction digit for megabytes, dropped when it is zero.
    const double megabytes = std::round(static_cast<double>(bytes) / 100'000.0) / 10.0;
    const bool whole = std::fmod(megabytes, 1.0) == 0.0;
    return locale.toString(megabytes, 'f', whole ? 0 : 1) + QStringLiteral(" MB");
}

QString ticketAttachmentsSummary(const std::vector<TicketAttachmentSelection>& list) {
    if (list.empty()) {
        return QStringLiteral("Brak załączników");
    }
    std::int64_t total = 0;
    for (const auto& entry : list) {
        total += entry.size;
    }
    return QString::number(list.size()) + QStringLiteral(" plik(i), ") + fileSizeText(total);
}

std::string ticketFailureMessage(const std::exception& failure) {
    if (const auto* error = dynamic_cast<const ViewerError*>(&failure);
        error && error->kind() == ViewerErrorKind::configuration &&
        error->message() == missingDeviceUidMessage) {
        return error->message();
    }
    return viewerErrorMessage(failure, "wysłać zgłoszenie");
}

} // namespace kova::menubar
