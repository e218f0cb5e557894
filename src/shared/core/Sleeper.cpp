#include "core/Sleeper.hpp"

#include <algorithm>
#include <mutex>

namespace kova {

std::chrono::nanoseconds boundedWait(std::chrono::seconds duration) {
    return std::chrono::nanoseconds(std::clamp(duration, std::chrono::seconds::zero(), longestWait));
}

bool sleepFor(StopToken stop, std::chrono::nanoseconds duration) {
    // The clock's now() plus the wait must not overflow either.
    duration = std::min<std::chrono::nanoseconds>(duration, longestWait);
    std::mutex mutex;
    ConditionVariableAny cv;
    std::unique_lock lock(mutex);
    // The predicate never becomes true by itself: only time or a stop end the wait.
    cv.wait_for(lock, stop, duration, [] { return false; });
    return !stop.stop_requested();
}

bool sleepFor(StopToken stop, std::chrono::seconds duration) {
    return sleepFor(std::move(stop), boundedWait(duration));
}

} // namespace kova
