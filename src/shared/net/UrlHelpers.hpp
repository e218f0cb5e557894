#pragma once

#include <string>
#include <string_view>

namespace kova::url {

// Percent-encodes everything but the characters allowed in a URL path
// (unreserved, sub-delimiters, ":", "@" and "/").
std::string encodePath(std::string_view text);
// Percent-encodes a query value: like the path set plus "?", but "&", "=",
// "+" and "#" are encoded so a value can never start another parameter.
std::string encodeQueryValue(std::string_view text);
// Percent-encodes a single path segment ("/" encoded as well).
std::string encodePathSegment(std::string_view text);
// True when the text parses as an absolute URL with a scheme.
bool isValidAbsoluteUrl(std::string_view text);
// The URL as it may be logged: its query and password may carry tokens, so
// every query value and the password become "***", a query item without a
// value becomes "***" as a whole, and the fragment is dropped. Text that does
// not parse as a URL is cut at its first "?" or "#".
std::string forLog(std::string_view text);

} // namespace kova::url
