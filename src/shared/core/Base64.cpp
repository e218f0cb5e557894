#include "core/Base64.hpp"

#include <algorithm>
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

} // namespace kova
