#include "core/Payload.hpp"

#include "core/Strings.hpp"

#include <algorithm>
#include <charconv>
#include <limits>

namespace kova {
namespace {

std::optional<std::int64_t> parseDecimal(std::string_view text) {
    // One optional sign, then digits only; from_chars itself takes "-" but not "+".
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        digits.remove_prefix(1);
    }
    if (digits.empty() || digits.front() < '0' || digits.front() > '9') {
        return std::nullopt;
    }
    if (text.front() == '+') {
        text = digits;
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::int64_t> integerOf(const Json& value) {
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return std::numeric_limits<std::int64_t>::max(); // still an integer: clamps to max
    }
    if (value.is_number()) {
        return jsonInt64(value);
    }
    if (value.is_string()) {
        return parseDecimal(value.get_ref<const std::string&>());
    }
    return std::nullopt;
}

} // namespace

const Json* payloadValue(const Json& payload, std::string_view key) {
    if (!payload.is_object()) {
        return nullptr;
    }
    const auto it = payload.find(key);
    return it == payload.end() ? nullptr : &*it;
}

std::int64_t payloadInt(const Json* value, std::int64_t defaultValue, std::int64_t min, std::int64_t max) {
    const auto taken = value ? integerOf(*value).value_or(defaultValue) : defaultValue;
    return std::max(std::min(taken, max), min);
}

std::int64_t payloadInt(const std::optional<Json>& value, std::int64_t defaultValue, std::int64_t min,
                        std::int64_t max) {
    return payloadInt(value ? &*value : nullptr, defaultValue, min, max);
}

bool payloadBool(const Json* value, bool defaultValue) {
    if (value && value->is_boolean()) {
        return value->get<bool>();
    }
    if (value && value->is_string()) {
        const auto lower = asciiLowercased(value->get_ref<const std::string&>());
        return lower == "1" || lower == "true" || lower == "yes" || lower == "on";
    }
    return defaultValue;
}

bool payloadBool(const std::optional<Json>& value, bool defaultValue) {
    return payloadBool(value ? &*value : nullptr, defaultValue);
}

std::string jsonLiteral(std::string_view text) {
    std::string encoded;
    try {
        encoded = Json(std::string(text)).dump();
    } catch (const Json::exception&) {
        return "\"\"";
    }
    // The encoder never emits "/" inside an escape, so every one is literal.
    std::string out;
    out.reserve(encoded.size() + 8);
    for (const char c : encoded) {
        if (c == '/') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

} // namespace kova
