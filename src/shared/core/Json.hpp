#pragma once

#include "core/Time.hpp"

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

// The deepest nesting of arrays and objects a parsed document may have. Copying
// and destroying a value recurse once per level, so a hostile document of a
// few hundred kilobytes could otherwise overflow the stack.
inline constexpr std::size_t maxJsonDepth = 128;
// The most values (array elements and object members, roughly) a document may
// hold: a body of tens of megabytes of tiny objects would otherwise take
// gigabytes once parsed. Legitimate documents hold a few thousand at most;
// their size lives in long strings (a file's Base64), which count once.
inline constexpr std::size_t maxJsonValues = 500000;

// Parses text; throws DecodingError with `what` in the message, also for a
// document nested deeper than maxJsonDepth or holding more than maxJsonValues.
// Every document from outside the process (server bodies, WebSocket messages,
// files) is parsed here.
Json parseJson(std::string_view text, std::string_view what);
// The same rules without an exception: a discarded value on failure.
Json parseJsonOrDiscarded(std::string_view text);

// Strict typed reads for decoding records. Integers accept an integral
// floating value (5.0) but not 5.5, a string or a boolean.
std::optional<std::int64_t> jsonInt64(const Json& value);
std::int64_t requireInt64(const Json& object, std::string_view key, std::string_view what);
std::string requireString(const Json& object, std::string_view key, std::string_view what);
bool requireBool(const Json& object, std::string_view key, std::string_view what);
// The string under key; nullopt when absent or null, DecodingError for another type.
std::optional<std::string> optionalString(const Json& object, std::string_view key, std::string_view what);
// An ISO 8601 date under key; DecodingError for anything else (the optional
// one: nullopt when absent or null).
Timestamp requireDate(const Json& object, std::string_view key, std::string_view what);
std::optional<Timestamp> optionalDate(const Json& object, std::string_view key, std::string_view what);
// The string under key when there is one (anything else, or no object: nullopt).
std::optional<std::string> stringMember(const Json& object, std::string_view key);

} // namespace kova
