#pragma once

#include <cstddef>
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

} // namespace kova
