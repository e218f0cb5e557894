#pragma once

#include "core/Files.hpp"

#include <filesystem>
#include <optional>

namespace kova::menubar {

// The per-user single-instance lock, held for the whole run: an exclusive
// flock on "pl.tarnvik.sekwo.menubar.lock" in the user's private directory,
// and on "/tmp/pl.tarnvik.sekwo.menubar.<uid>.lock" as well when that file is
// the user's own (what earlier versions lock). Another local user can create
// or lock the /tmp file first, so a /tmp file that is not the user's own
// regular file proves nothing and is passed over. The kernel drops the locks
// when the process dies, so a crash never blocks a start.
class ApplicationInstanceLock {
public:
    // No object only when another process of this user holds one of the locks.
    // Every lock that cannot be taken for another reason is logged and passed
    // over, so that no other user can keep the application from starting.
    static std::optional<ApplicationInstanceLock> acquire();
    static std::filesystem::path lockPath();
    // Nothing when the user has no private directory.
    static std::optional<std::filesystem::path> privateLockPath();

    ApplicationInstanceLock(ApplicationInstanceLock&&) noexcept = default;
    ApplicationInstanceLock& operator=(ApplicationInstanceLock&&) noexcept = default;
    ApplicationInstanceLock(const ApplicationInstanceLock&) = delete;
    ApplicationInstanceLock& operator=(const ApplicationInstanceLock&) = delete;
    ~ApplicationInstanceLock() = default;

private:
    ApplicationInstanceLock(files::UniqueFd privateLock, files::UniqueFd sharedLock)
        : privateLock_(std::move(privateLock)), sharedLock_(std::move(sharedLock)) {}

    // Closing a descriptor drops its flock.
    files::UniqueFd privateLock_;
    files::UniqueFd sharedLock_;
};

} // namespace kova::menubar
