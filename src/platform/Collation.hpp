#pragma once

#include <memory>
#include <string_view>

namespace kova::platform {

// Orders names the way the user's language does, ignoring letter case but
// not accents (Polish "ł" sorts right after "l", not after "z"). Texts are
// UTF-8. An instance is used by one thread at a time.
class NameCollator {
public:
    virtual ~NameCollator() = default;
    // Negative, zero or positive as a sorts before, with or after b.
    virtual int compare(std::string_view a, std::string_view b) const = 0;
};

// For the process's current locale.
std::unique_ptr<NameCollator> localizedCaseInsensitiveCollator();
// For a named locale ("pl", "en_US"); tests use it to fix the language.
std::unique_ptr<NameCollator> localizedCaseInsensitiveCollator(std::string_view localeName);

} // namespace kova::platform
