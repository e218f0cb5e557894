#pragma once

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
};

} // namespace kova
