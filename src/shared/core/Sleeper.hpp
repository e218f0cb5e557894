#pragma once

#include <chrono>
#include <stop_token>

namespace kova {

// Sleeps until the time passes or a stop is requested; returns false when stopped.
bool sleepFor(std::stop_token stop, std::chrono::nanoseconds duration);

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
