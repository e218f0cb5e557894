#include "menubar/customer/CustomerNotificationRules.hpp"

#include "core/Strings.hpp"
#include "menubar/ui/QtText.hpp"
#include "menubar/ui/ViewerTheme.hpp"

namespace kova::menubar {

UserNotificationContent userNotificationContent(const QString& title, const QString& body,
                                                const QString& ticketReference, const QString& uuid) {
    // Server and file texts: a notification shows a few lines, never a whole document.
    UserNotificationContent content{uuid, shownText(title, maximumNotificationTitleLength),
                                    shownText(body, maximumNotificationBodyLength), ticketReference};
    if (!ticketReference.isEmpty()) {
        content.identifier = QStringLiteral("ticket-") + ticketReference + QLatin1Char('-') + uuid;
    }
    return content;
}

UserNotificationContent ticketReplyNotification(const CustomerTicketNotification& message,
                                                const QString& uuid) {
    QString body = qtText(message.subject);
    if (const auto text = trimmed(message.messageText); !text.empty()) {
        body += QLatin1Char('\n') + qtText(text);
    }
    return userNotificationContent(QStringLiteral("Konsultant odpowiedział • ") +
                                       qtText(message.ticketNumber),
                                   body, qtText(message.ticketPublicId), uuid);
}

std::optional<std::string> loginEmail(std::string_view typed) {
    // Lower case for every script, not only ASCII: addresses may be internationalised.
    const QString email = qtText(trimmed(typed)).toLower();
    const QStringList parts = email.split(QLatin1Char('@'), Qt::SkipEmptyParts);
    if (!email.contains(QLatin1Char('@')) || parts.isEmpty() || !parts.last().contains(QLatin1Char('.'))) {
        return std::nullopt;
    }
    return stdText(email);
}

std::string withoutSecrets(std::string text, std::initializer_list<std::string_view> secrets) {
    for (const auto secret : secrets) {
        if (secret.empty()) {
            continue;
        }
        for (auto at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3)) {
            text.replace(at, secret.size(), "***");
        }
    }
    return text;
}

CustomerLoginDisplay customerLoginDisplay(const std::optional<std::string>& loggedInEmail) {
    if (loggedInEmail) {
        return {QStringLiteral("Powiadomienia o zgłoszeniach są połączone z kontem ") +
                    qtText(*loggedInEmail) + QLatin1Char('.'),
                ViewerTheme::tealDark, false};
    }
    return {QStringLiteral("Zaloguj się, aby otrzymywać powiadomienia dotyczące zgłoszeń."),
            ViewerTheme::muted, true};
}

} // namespace kova::menubar
