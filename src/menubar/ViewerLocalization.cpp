#include "menubar/ViewerLocalization.hpp"

#include <QSettings>

namespace kova::menubar::ViewerLocalization {

QString normalize(const std::optional<QString>& code) {
    const QString lowered = code.value_or(QStringLiteral("pl")).toLower();
    // Split once at the first "-": "-en" is "en", "-en-us" is "en-us".
    const auto dash = lowered.indexOf(QLatin1Char('-'));
    const QString head = dash < 0 ? lowered : lowered.left(dash);
    const QString tail = dash < 0 ? QString() : lowered.mid(dash + 1);
    const QString first = !head.isEmpty() ? head : !tail.isEmpty() ? tail : QStringLiteral("pl");
    for (const auto& language : supportedLanguages) {
        if (first == QLatin1String(language.code)) {
            return first;
        }
    }
    return QStringLiteral("pl");
}

QString storedLanguage() {
    // The user's defaults: ~/.config/pl.tarnvik.sekwo/Sekwo Tarnvik.conf here.
    QSettings defaults(QStringLiteral("pl.tarnvik.sekwo"), QStringLiteral("Sekwo Tarnvik"));
    const QVariant value = defaults.value(QString::fromLatin1(languageKey));
    return normalize(value.isValid() ? std::optional<QString>(value.toString()) : std::nullopt);
}

} // namespace kova::menubar::ViewerLocalization
