#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <memory>
#include <type_traits>

namespace kova::platform {

// Owns one Core Foundation object from a Create or Copy call and releases it
// at the end of its scope; a null result stays empty.
struct CFDeleter {
    void operator()(CFTypeRef ref) const {
        if (ref != nullptr) {
            CFRelease(ref);
        }
    }
};
template <typename T> using CFPtr = std::unique_ptr<std::remove_pointer_t<T>, CFDeleter>;

} // namespace kova::platform
