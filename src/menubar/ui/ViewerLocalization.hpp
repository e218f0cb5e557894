#pragma once

#include <QString>

#include <array>
#include <optional>

// The interface languages the user can pick, and the stored choice. The
// interface keeps its Polish texts whatever is chosen.
namespace kova::menubar::ViewerLocalization {

struct Language {
    const char* code;
    const char* displayName;
};

inline constexpr std::array<Language, 6> supportedLanguages{{
    {"pl", "Polski"},
    {"en", "English"},
    {"ru", "Русский"},
    {"es", "Español"},
    {"fr", "Français"},
    {"ja", "日本語"},
}};

inline constexpr auto languageKey = "pl.tarnvik.sekwo.language";

// A supported code for any stored value: "pt-BR" → "pl", "EN-us" → "en".
QString normalize(const std::optional<QString>& code);
// The stored choice from the user's defaults, normalised.
QString storedLanguage();
// Stores the normalised code in the user's defaults and returns it.
QString storeLanguage(const std::optional<QString>& code);

} // namespace kova::menubar::ViewerLocalization
