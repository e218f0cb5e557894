#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kova {

// Standard Base64 (RFC 4648 alphabet, "=" padding) without line breaks.
std::string base64Encode(std::string_view bytes);

// Strict decoding: only the standard alphabet, a length that is a multiple of
// four and at most two "=" at the very end. A line break, a space or any other
// character makes the whole text invalid (nullopt). The empty text is valid.
std::optional<std::string> base64DecodeStrict(std::string_view text);

} // namespace kova
