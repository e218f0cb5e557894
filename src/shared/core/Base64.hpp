#pragma once

#include <string>
#include <string_view>

namespace kova {

// Standard Base64 (RFC 4648 alphabet, "=" padding) on one line.
std::string base64Encoded(std::string_view bytes);

} // namespace kova
