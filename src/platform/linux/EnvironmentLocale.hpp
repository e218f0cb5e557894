#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace kova::platform {

// The locale the environment names for `category` ("LC_TIME", "LC_COLLATE"),
// as setlocale reads it (LC_ALL, then the category, then LANG), in ICU's form:
// "pl_PL.UTF-8" -> "pl_PL". None when it names no language ("C", "POSIX",
// nothing).
inline std::optional<std::string> environmentLocale(const char* category) {
    for (const char* name : {"LC_ALL", category, "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0') {
            continue;
        }
        std::string locale(value);
        locale = locale.substr(0, locale.find_first_of(".@"));
        if (locale.empty() || locale == "C" || locale == "POSIX") {
            return std::nullopt;
        }
        return locale;
    }
    return std::nullopt;
}

} // namespace kova::platform
