#include "menubar/ui/ViewerLocalization.hpp"

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

namespace {

// The user's defaults: ~/.config/pl.tarnvik.sekwo/Sekwo Tarnvik.conf here.
constexpr auto defaultsOrganization = "pl.tarnvik.sekwo";
constexpr auto defaultsApplication = "Sekwo Tarnvik";

} // namespace

QString storedLanguage() {
    QSettings defaults(QString::fromLatin1(defaultsOrganization), QString::fromLatin1(defaultsApplication));
    const QVariant value = defaults.value(QString::fromLatin1(languageKey));
    return normalize(value.isValid() ? std::optional<QString>(value.toString()) : std::nullopt);
}

QString storeLanguage(const std::optional<QString>& code) {
    const QString language = normalize(code);
    QSettings defaults(QString::fromLatin1(defaultsOrganization), QString::fromLatin1(defaultsApplication));
    defaults.setValue(QString::fromLatin1(languageKey), language);
    defaults.sync();
    return language;
}

} // namespace kova::menubar::ViewerLocalization
