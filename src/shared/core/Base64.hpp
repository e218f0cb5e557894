#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kova {

// Standard Base64 (RFC 4648 alphabet, "=" padding) on one line.
std::string base64Encoded(std::string_view bytes);
// The same appended to `out`, for building large bodies without copies.
void appendBase64(std::string& out, std::string_view bytes);
constexpr std::size_t base64Length(std::size_t bytes) {
    return (bytes + 2) / 3 * 4;
}

// Strict decoding: only the standard alphabet, a length that is a multiple of
// four and at most two "=" at the very end. A line break, a space or any other
// character makes the whole text invalid (nullopt). The empty text is valid.
std::optional<std::string> base64DecodeStrict(std::string_view text);

} // namespace kova
