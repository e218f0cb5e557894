#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kova {

// Everything the updater script is generated from, computed by the update
// check before generation.
struct UpdaterScriptInputs {
    std::string updatesDirectory;
    std::string runtimeDirectory;
    std::string statusPath;
    std::string scriptPath;
    std::string jobPropertyListPath;
    std::string packagePath;
    std::string updateLogPath;
    std::string packageUrl;
    std::string sha256;
    std::int64_t sizeBytes = 0;
    std::string scriptCurrentVersion;
    std::string manifestVersion;
    std::string safeVersion;
    std::string ownVersion;
    std::string reason;
};

// The bash script that downloads, verifies, backs up, installs, health-checks
// and, on failure, rolls back one update, as root under its own launchd job.
// Every generated value is placed through shellQuoted (JSON values after
// jsonLiteral), so no value can end its word.
std::string updaterScript(const UpdaterScriptInputs& inputs);

// What the rollback of an interrupted update is generated from.
struct RestoreScriptInputs {
    std::string runtimeDirectory;
    std::string statusPath;
    std::string scriptPath;
    std::string jobPropertyListPath;
    std::string updateLogPath;
    // The complete backup the interrupted update left behind.
    std::string backupDirectory;
    std::string currentVersion;
    // The version the interrupted update was installing, when the backup tells.
    std::optional<std::string> availableVersion;
};

// The script, run by the same launchd job as an update, that puts back the
// installation from the complete backup of an update that never ended (its
// job was killed half way) and reports the outcome in the update status.
std::string restoreScript(const RestoreScriptInputs& inputs);

// The names the updater script gives the files in a backup directory.
inline constexpr std::string_view backupCompleteMarker = "complete";
inline constexpr std::string_view backupRestoreAttemptedMarker = "restore-attempted";

} // namespace kova
