#pragma once

#include "chat/RemoteChatStore.hpp"
#include "core/Time.hpp"

#include <QColor>
#include <QString>

#include <optional>
#include <string>

// What the chat window shows and sends, kept apart from its widgets.
namespace kova::menubar {

namespace ChatPalette {
QColor fromUnit(double red, double green, double blue);
inline const QColor windowBackground = fromUnit(0.867, 0.89, 0.906);
inline const QColor text = fromUnit(0.09, 0.192, 0.239);
inline const QColor subtitle = fromUnit(0.267, 0.365, 0.408);
inline const QColor fieldBackground = fromUnit(0.973, 0.98, 0.984);
} // namespace ChatPalette

inline constexpr auto chatWindowTitle = "Sekwo Tarnvik - Czat";
inline constexpr auto chatWindowSubtitle = "Wiadomosci od konsultanta i odpowiedzi uzytkownika.";
inline constexpr auto chatSendButtonTitle = "Wyslij";
inline constexpr auto chatSendFailureText =
    "Nie udalo sie wyslac od razu. Wiadomosc zostala zapisana do ponowienia.";

// "[HH:mm] sender: text" and a line feed, the time in local time; a blank
// sender is shown as "Konsultant".
QString chatTranscriptLine(const RemoteChatMessage& message);

// The reply to send: the input trimmed of white space and line breaks, or
// nothing when that leaves no text.
std::optional<QString> chatReplyText(const QString& input);

// The author of the user's replies: the computer's name, "Mac" without one.
std::string chatReplySender(const std::optional<std::string>& localizedHostName);

RemoteChatMessage outgoingChatMessage(const std::string& publicId, const std::string& sender,
                                      const QString& text, Timestamp now);

// The local line shown when a reply was left for the daemon; never saved.
RemoteChatMessage chatSendFailureNotice(const std::string& publicId, Timestamp now);

} // namespace kova::menubar
