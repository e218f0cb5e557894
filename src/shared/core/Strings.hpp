#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kova {

// Removes surrounding white space and line breaks (ASCII and the Unicode space
// separators), the way tokens, identifiers and URLs are cleaned everywhere.
std::string trimmed(std::string_view text);
// The value trimmed; none when it is absent or blank.
std::optional<std::string> trimmedNonEmpty(const std::optional<std::string>& value);
// Removes every trailing "/" ("///" becomes "").
std::string trimmedTrailingSlash(std::string_view text);
std::string asciiLowercased(std::string_view text);
bool containsIgnoringCase(std::string_view haystack, std::string_view needle);
bool equalsIgnoringCase(std::string_view a, std::string_view b);
// True when the text holds a C0 control character, DEL or a UTF-8 encoded C1
// control: such a value must never become a header, a token or a log field.
bool containsControlCharacters(std::string_view text);

} // namespace kova
