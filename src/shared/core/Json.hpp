#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kova {

using Json = nlohmann::json;

// A JSON document that does not have the expected shape.
class DecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Pretty-printed with sorted keys (std::map keys); invalid UTF-8 is replaced
// rather than thrown, so a stray byte from a tool never loses a whole file.
std::string prettyJson(const Json& value);
std::string compactJson(const Json& value);

// Normalises a JSON body before it is serialised (discarded values and
// non-finite numbers become null).
Json sanitizeJson(const Json& value);

// Parses text; throws DecodingError with `what` in the message.
Json parseJson(std::string_view text, std::string_view what);

// Strict typed reads for decoding records. Integers accept an integral
// floating value (5.0) but not 5.5, a string or a boolean.
std::optional<std::int64_t> jsonInt64(const Json& value);
std::int64_t requireInt64(const Json& object, std::string_view key, std::string_view what);
std::string requireString(const Json& object, std::string_view key, std::string_view what);
bool requireBool(const Json& object, std::string_view key, std::string_view what);
// The string under key; nullopt when absent or null, DecodingError for another type.
std::optional<std::string> optionalString(const Json& object, std::string_view key, std::string_view what);
// The string under key when there is one (anything else, or no object: nullopt).
std::optional<std::string> stringMember(const Json& object, std::string_view key);

} // namespace kova
