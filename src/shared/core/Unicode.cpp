#include "core/Unicode.hpp"

#include <utf8proc.h>

namespace kova {
namespace {

// Walks the grapheme clusters of `text`, calling onBoundary(byteOffset) at the
// start of every cluster after the first; stops when it returns false.
template <typename F> void walkClusters(std::string_view text, F&& onBoundary) {
    utf8proc_int32_t state = 0;
    utf8proc_int32_t previous = 0;
    bool first = true;
    std::size_t i = 0;
    while (i < text.size()) {
        utf8proc_int32_t cp = 0;
        const auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + i),
                                        static_cast<utf8proc_ssize_t>(text.size() - i), &cp);
        const std::size_t step = n > 0 ? static_cast<std::size_t>(n) : 1;
        if (n <= 0) {
            cp = -1; // an invalid byte stands alone
        }
        if (!first) {
            const bool invalid = previous < 0 || cp < 0;
            const bool isBreak = invalid || utf8proc_grapheme_break_stateful(previous, cp, &state);
            if (invalid) {
                state = 0;
            }
            if (isBreak && !onBoundary(i)) {
                return;
            }
        }
        first = false;
        previous = cp;
        i += step;
    }
}

} // namespace

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        utf8proc_int32_t cp = 0;
        const auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + i),
                                        static_cast<utf8proc_ssize_t>(text.size() - i), &cp);
        if (n <= 0) {
            return false;
        }
        i += static_cast<std::size_t>(n);
    }
    return true;
}

std::size_t graphemeCount(std::string_view text) {
    if (text.empty()) {
        return 0;
    }
    std::size_t count = 1;
    walkClusters(text, [&](std::size_t) {
        ++count;
        return true;
    });
    return count;
}

std::size_t graphemePrefixLength(std::string_view text, std::size_t count) {
    if (count == 0) {
        return 0;
    }
    std::size_t seen = 1;
    std::size_t result = text.size();
    walkClusters(text, [&](std::size_t offset) {
        if (seen == count) {
            result = offset;
            return false;
        }
        ++seen;
        return true;
    });
    return result;
}

} // namespace kova
