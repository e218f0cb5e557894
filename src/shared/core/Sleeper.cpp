#include "core/Sleeper.hpp"

#include <condition_variable>
#include <mutex>

namespace kova {

bool sleepFor(std::stop_token stop, std::chrono::nanoseconds duration) {
    std::mutex mutex;
    std::condition_variable_any cv;
    std::unique_lock lock(mutex);
    // The predicate never becomes true by itself: only time or a stop end the wait.
    cv.wait_for(lock, stop, duration, [] { return false; });
    return !stop.stop_requested();
}

} // namespace kova
