#include "core/Json.hpp"

#include <cmath>
#include <limits>

namespace kova {
namespace {

const Json& requireKey(const Json& object, std::string_view key, std::string_view what) {
    if (!object.is_object()) {
        throw DecodingError(std::string(what) + " could not be decoded: a JSON object was expected.");
    }
    const auto it = object.find(key);
    if (it == object.end()) {
        throw DecodingError(std::string(what) + " could not be decoded: key \"" + std::string(key) +
                            "\" not found.");
    }
    return *it;
}

[[noreturn]] void typeMismatch(std::string_view key, std::string_view type, std::string_view what) {
    throw DecodingError(std::string(what) + " could not be decoded: \"" + std::string(key) + "\" is not " +
                        std::string(type) + ".");
}

// Why a document is refused before parsing, or nullopt. Brackets and commas
// outside strings give the nesting and the number of values of any text the
// parser would accept; anything else is refused by the parser itself.
std::optional<std::string> outOfBounds(std::string_view text) {
    std::size_t depth = 0;
    std::size_t values = 1;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        switch (c) {
        case '"':
            inString = true;
            break;
        case '[':
        case '{':
            if (++depth > maxJsonDepth) {
                return "the data is nested deeper than " + std::to_string(maxJsonDepth) + " levels.";
            }
            [[fallthrough]];
        case ',':
            if (++values > maxJsonValues) {
                return "the data holds more than " + std::to_string(maxJsonValues) + " values.";
            }
            break;
        case ']':
        case '}':
            depth -= depth > 0 ? 1 : 0;
            break;
        default:
            break;
        }
    }
    return std::nullopt;
}

} // namespace

std::string prettyJson(const Json& value) {
    return value.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string compactJson(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json sanitizeJson(const Json& value) {
    switch (value.type()) {
    case Json::value_t::object: {
        Json out = Json::object();
        for (const auto& [key, item] : value.items()) {
            out[key] = sanitizeJson(item);
        }
        return out;
    }
    case Json::value_t::array: {
        Json out = Json::array();
        for (const auto& item : value) {
            out.push_back(sanitizeJson(item));
        }
        return out;
    }
    case Json::value_t::discarded:
        return nullptr;
    case Json::value_t::number_float:
        return std::isfinite(value.get<double>()) ? value : Json(nullptr);
    default:
        return value;
    }
}

Json parseJsonOrDiscarded(std::string_view text) {
    if (outOfBounds(text)) {
        return Json(Json::value_t::discarded);
    }
    return Json::parse(text, nullptr, false);
}

Json parseJson(std::string_view text, std::string_view what) {
    if (const auto reason = outOfBounds(text)) {
        throw DecodingError(std::string(what) + " could not be decoded: " + *reason);
    }
    auto value = Json::parse(text, nullptr, false);
    if (value.is_discarded()) {
        throw DecodingError(std::string(what) + " could not be decoded: the data is not valid JSON.");
    }
    return value;
}

std::optional<std::int64_t> jsonInt64(const Json& value) {
    if (value.is_number_integer()) {
        if (value.is_number_unsigned() &&
            value.get<std::uint64_t>() >
                static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return value.get<std::int64_t>();
    }
    if (value.is_number_float()) {
        const double d = value.get<double>();
        if (std::isfinite(d) && std::floor(d) == d && d >= -9.2e18 && d <= 9.2e18) {
            return static_cast<std::int64_t>(d);
        }
    }
    return std::nullopt;
}

std::int64_t requireInt64(const Json& object, std::string_view key, std::string_view what) {
    const auto value = jsonInt64(requireKey(object, key, what));
    if (!value) {
        typeMismatch(key, "an integer", what);
    }
    return *value;
}

std::string requireString(const Json& object, std::string_view key, std::string_view what) {
    const auto& value = requireKey(object, key, what);
    if (!value.is_string()) {
        typeMismatch(key, "a string", what);
    }
    return value.get<std::string>();
}

bool requireBool(const Json& object, std::string_view key, std::string_view what) {
    const auto& value = requireKey(object, key, what);
    if (!value.is_boolean()) {
        typeMismatch(key, "a boolean", what);
    }
    return value.get<bool>();
}

Timestamp requireDate(const Json& object, std::string_view key, std::string_view what) {
    const auto date = parseIso8601(requireString(object, key, what));
    if (!date) {
        throw DecodingError(std::string(what) + " could not be decoded: \"" + std::string(key) +
                            "\" is not an ISO 8601 date.");
    }
    return *date;
}

std::optional<Timestamp> optionalDate(const Json& object, std::string_view key, std::string_view what) {
    return optionalString(object, key, what) ? std::optional(requireDate(object, key, what)) : std::nullopt;
}

std::optional<std::string> optionalString(const Json& object, std::string_view key, std::string_view what) {
    if (!object.is_object()) {
        throw DecodingError(std::string(what) + " could not be decoded: a JSON object was expected.");
    }
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return std::nullopt;
    }
    if (!it->is_string()) {
        typeMismatch(key, "a string", what);
    }
    return it->get<std::string>();
}

std::optional<std::string> stringMember(const Json& object, std::string_view key) {
    if (!object.is_object()) {
        return std::nullopt;
    }
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) {
        return std::nullopt;
    }
    return it->get<std::string>();
}

} // namespace kova
