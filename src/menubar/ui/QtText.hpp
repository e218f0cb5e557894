#pragma once

#include <QString>

#include <string>
#include <string_view>

// UTF-8 text between the shared library (std::string) and Qt (QString).
namespace kova::menubar {

inline QString qtText(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string stdText(const QString& text) {
    return text.toStdString();
}

// Text from a server, a file or a link as it is shown: at most `maximum`
// UTF-16 units, the last of them an ellipsis when it was cut. A surrogate
// pair is never split.
inline QString shownText(const QString& text, qsizetype maximum) {
    if (text.size() <= maximum) {
        return text;
    }
    qsizetype end = maximum > 0 ? maximum - 1 : 0;
    if (end > 0 && text.at(end - 1).isHighSurrogate()) {
        --end;
    }
    return text.left(end) + QChar(0x2026);
}

} // namespace kova::menubar
