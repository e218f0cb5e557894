#pragma once

#include <filesystem>
#include <optional>

namespace kova::menubar {

// The per-user single-instance lock: an exclusive flock on
// "/tmp/pl.tarnvik.sekwo.menubar.<uid>.lock", held for the whole run. The
// kernel drops it when the process dies, so a crash never blocks a start.
class ApplicationInstanceLock {
public:
    // No object when another process holds the lock or the file cannot be opened.
    static std::optional<ApplicationInstanceLock> acquire();
    static std::filesystem::path lockPath();

    ApplicationInstanceLock(ApplicationInstanceLock&& other) noexcept;
    ApplicationInstanceLock& operator=(ApplicationInstanceLock&& other) noexcept;
    ApplicationInstanceLock(const ApplicationInstanceLock&) = delete;
    ApplicationInstanceLock& operator=(const ApplicationInstanceLock&) = delete;
    ~ApplicationInstanceLock();

private:
    explicit ApplicationInstanceLock(int fd) : fd_(fd) {}
    void release();

    int fd_ = -1;
};

} // namespace kova::menubar
