#include "core/Strings.hpp"

#include <algorithm>
#include <array>
#include <cctype>

namespace kova {
namespace {

// Byte length of a white-space or line-break character starting at text[i], or 0.
std::size_t spaceLengthAt(std::string_view text, std::size_t i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) {
        return 1;
    }
    static constexpr std::array<std::string_view, 8> multiByte = {
        "\xC2\x85",     // next line
        "\xC2\xA0",     // no-break space
        "\xE2\x80\xA8", // line separator
        "\xE2\x80\xA9", // paragraph separator
        "\xE3\x80\x80", // ideographic space
        "\xE2\x80\xAF", // narrow no-break space
        "\xE2\x81\x9F", // medium mathematical space
        "\xE1\x9A\x80", // ogham space mark
    };
    const auto rest = text.substr(i);
    for (auto m : multiByte) {
        if (rest.starts_with(m)) {
            return m.size();
        }
    }
    // U+2000 ... U+200A
    if (rest.size() >= 3 && c == 0xE2 && static_cast<unsigned char>(rest[1]) == 0x80) {
        const auto third = static_cast<unsigned char>(rest[2]);
        if (third >= 0x80 && third <= 0x8A) {
            return 3;
        }
    }
    return 0;
}

// Byte length of a white-space character that ends just before text[end], or 0.
std::size_t spaceLengthBefore(std::string_view text, std::size_t end) {
    for (std::size_t len = 1; len <= 3 && len <= end; ++len) {
        if (spaceLengthAt(text, end - len) == len) {
            return len;
        }
    }
    return 0;
}

} // namespace

std::string trimmed(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const auto n = spaceLengthAt(text, begin);
        if (n == 0) {
            break;
        }
        begin += n;
    }
    std::size_t end = text.size();
    while (end > begin) {
        const auto n = spaceLengthBefore(text, end);
        if (n == 0 || end - n < begin) {
            break;
        }
        end -= n;
    }
    return std::string(text.substr(begin, end - begin));
}

std::optional<std::string> trimmedNonEmpty(const std::optional<std::string>& value) {
    if (!value) {
        return std::nullopt;
    }
    auto text = trimmed(*value);
    if (text.empty()) {
        return std::nullopt;
    }
    return text;
}

std::string trimmedTrailingSlash(std::string_view text) {
    while (!text.empty() && text.back() == '/') {
        text.remove_suffix(1);
    }
    return std::string(text);
}

std::string asciiLowercased(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool containsIgnoringCase(std::string_view haystack, std::string_view needle) {
    return asciiLowercased(haystack).find(asciiLowercased(needle)) != std::string::npos;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && asciiLowercased(a) == asciiLowercased(b);
}

bool containsControlCharacters(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            return true;
        }
        // U+0080 ... U+009F are encoded as C2 80 ... C2 9F.
        if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F &&
            static_cast<unsigned char>(text[i + 1]) >= 0x80) {
            return true;
        }
    }
    return false;
}

} // namespace kova
