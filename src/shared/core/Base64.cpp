#include "core/Base64.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <openssl/evp.h>

namespace kova {

void appendBase64(std::string& out, std::string_view bytes) {
    // EVP_EncodeBlock takes an int length: feed it whole groups of three bytes
    // so any input size encodes exactly as one block would.
    constexpr std::size_t chunk = 3 * 1024 * 1024;
    auto written = out.size();
    out.resize(written + base64Length(bytes.size()));
    for (std::size_t offset = 0; offset < bytes.size(); offset += chunk) {
        const auto length = std::min(chunk, bytes.size() - offset);
        // It also writes a terminating NUL: into the next chunk's place, or
        // into std::string's own terminator after the last one.
        written += static_cast<std::size_t>(EVP_EncodeBlock(
            reinterpret_cast<unsigned char*>(out.data() + written),
            reinterpret_cast<const unsigned char*>(bytes.data() + offset), static_cast<int>(length)));
    }
    out.resize(written);
}

std::string base64Encoded(std::string_view bytes) {
    std::string out;
    appendBase64(out, bytes);
    return out;
}

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> decodingTable() {
    std::array<std::int8_t, 256> table{};
    table.fill(-1);
    for (int i = 0; i < 64; ++i) {
        table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
    }
    return table;
}

} // namespace

std::optional<std::string> base64DecodeStrict(std::string_view text) {
    static constexpr auto table = decodingTable();
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') {
        padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
    }
    std::string out;
    out.reserve(text.size() / 4 * 3);
    const auto dataLength = text.size() - padding;
    std::uint32_t accumulator = 0;
    int bits = 0;
    for (std::size_t i = 0; i < dataLength; ++i) {
        const auto value = table[static_cast<unsigned char>(text[i])];
        if (value < 0) {
            return std::nullopt; // "=" inside the text counts here too
        }
        accumulator = (accumulator << 6) | static_cast<std::uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((accumulator >> bits) & 0xFF));
        }
    }
    return out;
}

} // namespace kova
