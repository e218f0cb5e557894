#include "audit/PropertyList.hpp"

#include "core/Time.hpp"

#include "core/Files.hpp"
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <plist/plist.h>

namespace kova::audit {
namespace {

constexpr std::size_t maximumPropertyListBytes = 8 << 20;
constexpr int maximumDepth = 128;
// Seconds from 1970-01-01 to 2001-01-01, the epoch of property-list dates.
constexpr std::int64_t referenceDateOffset = 978307200;

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
struct MallocDeleter {
    void operator()(void* p) const { std::free(p); }
};
using MallocText = std::unique_ptr<char, MallocDeleter>;

std::uint64_t bigEndian(std::string_view bytes, std::size_t offset, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value = value << 8 | static_cast<unsigned char>(bytes[offset + i]);
    }
    return value;
}

// libplist asserts (and so aborts the process) when it hands out a string
// whose UTF-16 form holds U+0000, a key included. A binary list with such a
// string is refused before the library parses it: walks the offset table
// and looks into every UTF-16 string object. Anything inconsistent is left
// to the library's own checks.
bool binaryListHasNulCharacter(std::string_view bytes) {
    constexpr std::size_t trailerSize = 32;
    if (!bytes.starts_with("bplist00") || bytes.size() < 8 + trailerSize) {
        return false;
    }
    const std::size_t trailer = bytes.size() - trailerSize;
    const std::size_t offsetSize = static_cast<unsigned char>(bytes[trailer + 6]);
    const std::uint64_t objects = bigEndian(bytes, trailer + 8, 8);
    const std::uint64_t table = bigEndian(bytes, trailer + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || table >= trailer || objects > (trailer - table) / offsetSize) {
        return false;
    }
    for (std::uint64_t i = 0; i < objects; ++i) {
        const std::uint64_t offset = bigEndian(bytes, table + i * offsetSize, offsetSize);
        if (offset >= trailer) {
            continue;
        }
        const auto marker = static_cast<unsigned char>(bytes[offset]);
        if ((marker & 0xF0) != 0x60) {
            continue;
        }
        std::uint64_t units = marker & 0x0F;
        std::uint64_t start = offset + 1;
        if (units == 0x0F) {
            // The length follows as an integer object: 0x1N, then 2^N bytes.
            if (start >= trailer || (static_cast<unsigned char>(bytes[start]) & 0xF0) != 0x10) {
                continue;
            }
            const std::size_t width = std::size_t{1} << (bytes[start] & 0x0F);
            if (width > 8 || start + 1 + width > trailer) {
                continue;
            }
            units = bigEndian(bytes, start + 1, width);
            start += 1 + width;
        }
        const std::uint64_t end = units > (trailer - start) / 2 ? trailer : start + 2 * units;
        for (std::uint64_t at = start; at + 1 < end; at += 2) {
            if (bytes[at] == 0 && bytes[at + 1] == 0) {
                return true;
            }
        }
    }
    return false;
}

Json toJson(plist_t node, int depth) {
    if (node == nullptr || depth > maximumDepth) {
        return nullptr;
    }
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        std::uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return value != 0;
    }
    case PLIST_UINT:
    case PLIST_UID: {
        std::uint64_t value = 0;
        if (plist_get_node_type(node) == PLIST_UINT) {
            plist_get_uint_val(node, &value);
        } else {
            plist_get_uid_val(node, &value);
        }
        // Negative integers are kept in two's complement.
        return static_cast<std::int64_t>(value);
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return value;
    }
    case PLIST_STRING: {
        std::uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        return text ? std::string(text, length) : std::string();
    }
    case PLIST_KEY: {
        char* raw = nullptr;
        plist_get_key_val(node, &raw);
        MallocText text(raw);
        return text ? std::string(text.get()) : std::string();
    }
    case PLIST_DATE: {
        std::int32_t seconds = 0;
        std::int32_t microseconds = 0;
        plist_get_date_val(node, &seconds, &microseconds);
        return formatIso8601(Timestamp(std::chrono::seconds(referenceDateOffset + seconds)));
    }
    case PLIST_DATA: {
        std::uint64_t length = 0;
        plist_get_data_ptr(node, &length);
        return "<data " + std::to_string(length) + " bytes>";
    }
    case PLIST_ARRAY: {
        Json array = Json::array();
        const auto size = plist_array_get_size(node);
        for (std::uint32_t i = 0; i < size; ++i) {
            array.push_back(toJson(plist_array_get_item(node, i), depth + 1));
        }
        return array;
    }
    case PLIST_DICT: {
        Json object = Json::object();
        plist_dict_iter rawIterator = nullptr;
        plist_dict_new_iter(node, &rawIterator);
        std::unique_ptr<void, MallocDeleter> iterator(rawIterator);
        for (;;) {
            char* rawKey = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, iterator.get(), &rawKey, &value);
            MallocText key(rawKey);
            if (value == nullptr) {
                break;
            }
            if (key) {
                object[key.get()] = toJson(value, depth + 1);
            }
        }
        return object;
    }
    default:
        return nullptr;
    }
}

} // namespace

std::optional<Json> parsePropertyList(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > maximumPropertyListBytes || binaryListHasNulCharacter(bytes)) {
        return std::nullopt;
    }
    plist_t raw = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &raw);
    std::unique_ptr<void, PlistDeleter> root(raw);
    if (!root) {
        return std::nullopt;
    }
    return toJson(root.get(), 0);
}

std::optional<Json> readPropertyList(const std::filesystem::path& path) {
    const auto bytes = files::readRegularFile(path, maximumPropertyListBytes);
    if (!bytes) {
        return std::nullopt;
    }
    return parsePropertyList(*bytes);
}

} // namespace kova::audit
