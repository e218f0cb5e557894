#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace kova::platform {

// Releases a Core Foundation object from a Create or Copy call; null stays empty.
struct CFDeleter {
    void operator()(CFTypeRef ref) const {
        if (ref != nullptr) {
            CFRelease(ref);
        }
    }
};
template <typename T> using CFPtr = std::unique_ptr<std::remove_pointer_t<T>, CFDeleter>;

// UTF-8 text in; a CFString or CFNumber out (absent for null, another type or failure).
inline CFPtr<CFStringRef> cfString(std::string_view text) {
    return CFPtr<CFStringRef>(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(text.data()),
                                                      static_cast<CFIndex>(text.size()),
                                                      kCFStringEncodingUTF8, false));
}

inline std::optional<std::string> fromCFString(CFTypeRef value) {
    if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID()) {
        return std::nullopt;
    }
    const auto string = static_cast<CFStringRef>(value);
    const CFIndex size =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
    std::string buffer(static_cast<std::size_t>(size), '\0');
    if (!CFStringGetCString(string, buffer.data(), size, kCFStringEncodingUTF8)) {
        return std::nullopt;
    }
    buffer.resize(std::strlen(buffer.c_str()));
    return buffer;
}

inline std::optional<std::int64_t> fromCFNumber(CFTypeRef value) {
    std::int64_t number = 0;
    if (value == nullptr || CFGetTypeID(value) != CFNumberGetTypeID() ||
        !CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt64Type, &number)) {
        return std::nullopt;
    }
    return number;
}

} // namespace kova::platform
