#pragma once

#include <string>
#include <string_view>

namespace kova {

// `value` as one single-quoted word for bash and sh: every "'" becomes
// '\''. Nothing inside is expanded, so any text, newlines included, comes
// through unchanged. The one quoting function for generated shell text.
std::string shellQuoted(std::string_view value);

} // namespace kova
