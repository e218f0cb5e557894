#pragma once

#include <csignal>
#include <spawn.h>

namespace kova {

// posix_spawn's file actions and attributes, destroyed with their owner.
struct SpawnFileActions {
    posix_spawn_file_actions_t value;
    SpawnFileActions() { posix_spawn_file_actions_init(&value); }
    ~SpawnFileActions() { posix_spawn_file_actions_destroy(&value); }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
};

struct SpawnAttributes {
    posix_spawnattr_t value;
    SpawnAttributes() { posix_spawnattr_init(&value); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&value); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    // The child starts with nothing blocked and every catchable signal at its
    // default: the daemon's mask and handlers must not leak into it.
    void resetSignals() {
        sigset_t set;
        sigemptyset(&set);
        posix_spawnattr_setsigmask(&value, &set);
        for (int s = 1; s < NSIG; ++s) {
            if (s != SIGKILL && s != SIGSTOP) {
                sigaddset(&set, s); // fails harmlessly for numbers reserved by the C library
            }
        }
        posix_spawnattr_setsigdefault(&value, &set);
    }
};

} // namespace kova
