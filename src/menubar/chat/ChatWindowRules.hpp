#pragma once

#include "chat/RemoteChatStore.hpp"
#include "core/Time.hpp"

#include <QColor>
#include <QString>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

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

// Bounds of the chat's work and memory, whatever the shared chat directory
// holds: files and message bytes handled in one pass of the timer (the rest
// wait on disk for the next), characters shown of one message and of its
// sender, lines kept in a transcript, conversations that have a window.
namespace ChatLimits {
inline constexpr std::size_t filesPerPass = 25;
inline constexpr std::size_t bytesPerPass = std::size_t{2} << 20;
inline constexpr qsizetype shownTextLength = 4000;
inline constexpr qsizetype shownSenderLength = 100;
inline constexpr int transcriptLines = 500;
inline constexpr std::size_t conversations = 10;
} // namespace ChatLimits

// The start of a message's text that holds all it can show: a long text is
// never converted whole.
std::string_view shownHead(std::string_view text);

// "[HH:mm] sender: text" and a line feed, the time in local time; a blank
// sender is shown as "Konsultant". Sender and text are cut to the limits.
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
