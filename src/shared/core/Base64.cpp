#include "core/Base64.hpp"

#include <algorithm>
#include <openssl/evp.h>

namespace kova {

std::string base64Encoded(std::string_view bytes) {
    // EVP_EncodeBlock takes an int length: feed it whole groups of three bytes
    // so any input size encodes exactly as one block would.
    constexpr std::size_t chunk = 3 * 1024 * 1024;
    std::string out((bytes.size() + 2) / 3 * 4, '\0');
    std::size_t written = 0;
    for (std::size_t offset = 0; offset < bytes.size(); offset += chunk) {
        const auto length = std::min(chunk, bytes.size() - offset);
        // One byte more than the encoded length: the terminating NUL lands in
        // the next chunk's place, or in std::string's own terminator at the end.
        written += static_cast<std::size_t>(EVP_EncodeBlock(
            reinterpret_cast<unsigned char*>(out.data() + written),
            reinterpret_cast<const unsigned char*>(bytes.data() + offset), static_cast<int>(length)));
    }
    out.resize(written);
    return out;
}

} // namespace kova
