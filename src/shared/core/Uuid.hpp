#pragma once

#include <string>

namespace kova {

// A random (version 4) UUID in canonical upper-case form, e.g.
// "0F8FAD5B-D9CB-469F-A165-70867728950E".
std::string makeUuid();
// The same without hyphens (32 hexadecimal digits).
std::string makeCompactUuid();

} // namespace kova
