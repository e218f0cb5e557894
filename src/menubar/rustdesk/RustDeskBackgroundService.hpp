#pragma once

#include <memory>

namespace kova {
class ProcessRunner;
}

namespace kova::menubar {

// Keeps RustDesk's background endpoint running, so the Mac itself can be
// reached. Blocks on pgrep: call it off the main thread.
class RustDeskBackgroundService {
public:
    explicit RustDeskBackgroundService(std::shared_ptr<ProcessRunner> runner);

    // Starts "RustDesk --server" unless a RustDesk process already runs;
    // the start is not waited for.
    void ensureRunning() const;

private:
    std::shared_ptr<ProcessRunner> runner_;
};

} // namespace kova::menubar
