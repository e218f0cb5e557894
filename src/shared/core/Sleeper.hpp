#pragma once

#include <chrono>
#include <stop_token>

namespace kova {

// The longest single wait: any longer one (an interval setting of billions of
// seconds) means "very long", never an overflow that would make it "now".
inline constexpr std::chrono::seconds longestWait = std::chrono::hours(24 * 365 * 100);

// The wait in nanoseconds, saturated at longestWait (negative waits are 0).
std::chrono::nanoseconds boundedWait(std::chrono::seconds duration);

// Sleeps until the time passes or a stop is requested; returns false when stopped.
bool sleepFor(std::stop_token stop, std::chrono::nanoseconds duration);
// The same for a wait taken from settings, converted without overflow.
bool sleepFor(std::stop_token stop, std::chrono::seconds duration);

// Injected wherever a wait matters to behaviour (retry pauses, back-off), so
// tests can record the waits instead of sleeping.
class Sleeper {
public:
    virtual ~Sleeper() = default;
    virtual bool sleep(std::stop_token stop, std::chrono::nanoseconds duration) = 0;
};

class RealSleeper final : public Sleeper {
public:
    bool sleep(std::stop_token stop, std::chrono::nanoseconds duration) override {
        return sleepFor(stop, duration);
    }
};

} // namespace kova
