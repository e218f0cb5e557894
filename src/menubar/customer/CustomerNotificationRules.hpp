#pragma once

#include "api/CustomerRecords.hpp"

#include <QColor>
#include <QString>

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

// What the customer-panel login and the ticket-reply notifications show and
// accept; the login card and the application delegate only bind these.
namespace kova::menubar {

// One user notification as handed to the desktop. The click on it reports
// `ticketReference` back (the user info "ticket_reference").
struct UserNotificationContent {
    QString identifier;
    QString title;
    QString body;
    QString ticketReference;

    bool operator==(const UserNotificationContent&) const = default;
};

inline constexpr qsizetype maximumNotificationTitleLength = 200;
inline constexpr qsizetype maximumNotificationBodyLength = 1000;

// "ticket-<reference>-<uuid>" with a reference, the bare `uuid` without one;
// the title and the body cut to the lengths above.
UserNotificationContent userNotificationContent(const QString& title, const QString& body,
                                                const QString& ticketReference, const QString& uuid);

// A consultant's reply: the ticket number in the title, the subject and the
// trimmed message text (when there is any) in the body.
UserNotificationContent ticketReplyNotification(const CustomerTicketNotification& message,
                                                const QString& uuid);

// The e-mail as it is sent to the login: trimmed and lower-cased; none when it
// has no "@" or no "." after its last "@".
std::optional<std::string> loginEmail(std::string_view typed);

// `text` with every occurrence of each non-empty secret replaced by "***", for
// messages that may echo what was sent.
std::string withoutSecrets(std::string text, std::initializer_list<std::string_view> secrets);

namespace customerLoginTexts {
inline constexpr char cardTitle[] = "Powiadomienia o zgłoszeniach";
inline constexpr char emailLabel[] = "E-mail";
inline constexpr char passwordLabel[] = "Hasło";
inline constexpr char loginButton[] = "Zaloguj";
inline constexpr char logoutButton[] = "Wyloguj";
inline constexpr char invalidEmail[] = "Podaj poprawny adres e-mail.";
inline constexpr char missingPassword[] = "Wpisz hasło do panelu klienta.";
inline constexpr char loggingIn[] = "Logowanie…";
inline constexpr char loginAction[] = "zalogować się do powiadomień";
} // namespace customerLoginTexts

// The login card's status line and which controls it shows, from the stored
// session's e-mail (none when logged out).
struct CustomerLoginDisplay {
    QString status;
    QColor colour;
    bool loginFormVisible = true;
};
CustomerLoginDisplay customerLoginDisplay(const std::optional<std::string>& loggedInEmail);

} // namespace kova::menubar
