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

} // namespace kova::menubar
