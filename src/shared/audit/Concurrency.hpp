#pragma once

#include "core/Stop.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <future>
#include <system_error>
#include <type_traits>
#include <vector>

// The two shapes of concurrency the audit needs: independent tools started
// side by side, and one tool per bundle on a bounded number of threads.
namespace kova::audit {

// Starts `task` on a thread of its own; when no thread can be had it runs
// when its result is first asked for, so the caller's result is the same.
template <typename F> std::future<std::invoke_result_t<F>> startTask(F task) {
    try {
        return std::async(std::launch::async, task); // a copy: `task` stays usable if this throws
    } catch (const std::system_error&) {
        return std::async(std::launch::deferred, std::move(task));
    }
}

// Calls body(0) ... body(count - 1) on at most `workers` threads (the caller's
// included) and returns when all calls have ended. A body that throws loses
// only its own item.
template <typename F> void parallelFor(std::size_t count, std::size_t workers, F&& body) {
    std::atomic<std::size_t> next{0};
    auto drain = [&] {
        for (std::size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
            try {
                body(i);
            } catch (...) {
            }
        }
    };
    std::vector<JThread> helpers;
    const std::size_t extra = std::min(count, std::max<std::size_t>(workers, 1)) - (count > 0 ? 1 : 0);
    for (std::size_t w = 0; w < extra; ++w) {
        try {
            helpers.emplace_back(drain);
        } catch (const std::system_error&) {
            break;
        }
    }
    drain();
}

} // namespace kova::audit
