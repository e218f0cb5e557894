#include "menubar/chat/ChatWindowRules.hpp"

#include "core/Strings.hpp"
#include "core/Uuid.hpp"
#include "menubar/ui/QtText.hpp"

#include <QDateTime>

namespace kova::menubar {

QColor ChatPalette::fromUnit(double red, double green, double blue) {
    return QColor::fromRgbF(static_cast<float>(red), static_cast<float>(green), static_cast<float>(blue));
}

std::string_view shownHead(std::string_view text) {
    // Four bytes or more per character: past the limit by at least one
    // whole character, so a sequence cut at the end is never shown.
    return text.substr(0, 4 * (static_cast<std::size_t>(ChatLimits::shownTextLength) + 1));
}

QString chatTranscriptLine(const RemoteChatMessage& message) {
    const auto seconds = message.createdAt.time_since_epoch().count();
    const QString time =
        QDateTime::fromSecsSinceEpoch(seconds).toLocalTime().toString(QStringLiteral("HH:mm"));
    const QString sender = trimmed(message.sender).empty()
                               ? QStringLiteral("Konsultant")
                               : shownText(qtText(message.sender), ChatLimits::shownSenderLength);
    return QLatin1Char('[') % time % QStringLiteral("] ") % sender % QStringLiteral(": ") %
           shownText(qtText(shownHead(message.text)), ChatLimits::shownTextLength) % QLatin1Char('\n');
}

std::optional<QString> chatReplyText(const QString& input) {
    QString text = input.trimmed();
    if (text.isEmpty()) {
        return std::nullopt;
    }
    return text;
}

std::string chatReplySender(const std::optional<std::string>& localizedHostName) {
    if (localizedHostName && !trimmed(*localizedHostName).empty()) {
        return *localizedHostName;
    }
    return "Mac";
}

RemoteChatMessage outgoingChatMessage(const std::string& publicId, const std::string& sender,
                                      const QString& text, Timestamp now) {
    return {makeCompactUuid(), publicId, "outgoing", sender, stdText(text), now};
}

RemoteChatMessage chatSendFailureNotice(const std::string& publicId, Timestamp now) {
    return {makeCompactUuid(), publicId, "incoming", "System", chatSendFailureText, now};
}

} // namespace kova::menubar
