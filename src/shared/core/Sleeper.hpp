#pragma once

#include "core/Stop.hpp"

#include <chrono>

namespace kova {

// The longest single wait: any longer one (an interval setting of billions of
// seconds) means "very long", never an overflow that would make it "now".
inline constexpr std::chrono::seconds longestWait = std::chrono::hours(24 * 365 * 100);

// The wait in nanoseconds, saturated at longestWait (negative waits are 0).
std::chrono::nanoseconds boundedWait(std::chrono::seconds duration);

// Sleeps until the time passes or a stop is requested; returns false when stopped.
bool sleepFor(StopToken stop, std::chrono::nanoseconds duration);
// The same for a wait taken from settings, converted without overflow.
bool sleepFor(StopToken stop, std::chrono::seconds duration);

// Injected wherever a wait matters to behaviour (retry pauses, back-off), so
// tests can record the waits instead of sleeping.
class Sleeper {
public:
    virtual ~Sleeper() = default;
    virtual bool sleep(StopToken stop, std::chrono::nanoseconds duration) = 0;
};

class RealSleeper final : public Sleeper {
public:
    bool sleep(StopToken stop, std::chrono::nanoseconds duration) override {
        return sleepFor(stop, duration);
    }
};

} // namespace kova
