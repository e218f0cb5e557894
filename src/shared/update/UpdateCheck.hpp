#pragma once

#include "api/AgentRecords.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// The rules of an update check that need no service: where the updater's
// files go, how versions compare, which packages are trusted, and the launchd
// job that runs the updater script. Pure functions; any thread.
namespace kova::UpdateCheck {

inline constexpr std::string_view updaterJobLabel = "pl.tarnvik.sekwo.updater";
inline constexpr std::int64_t maximumPackageSize = 629'145'600; // 600 MiB

std::filesystem::path updateLogPath();
std::filesystem::path updatesDirectory();
std::filesystem::path updaterScriptPath();
std::filesystem::path updaterJobPropertyListPath();
// The manifest version with every "/" replaced by "_", for file names.
std::string safeVersion(std::string_view version);
std::filesystem::path packagePath(std::string_view version);

// Dot-separated numbers compared position by position (a missing position or
// a piece that is not a number counts as 0): 1.10 is newer than 1.9, 1.2
// equals 1.2.0.
bool isVersionNewerThan(std::string_view a, std::string_view b);

// The package URL when it is HTTPS on the server's own host (and port, when
// the server names one) and ends in ".pkg"; throws ViewerError otherwise.
std::string validatedUpdatePackageUrl(const ViewerUpdateManifest& manifest, std::string_view serverBaseUrl);
// The trimmed hash in lower case; throws ViewerError unless it is 64 hex digits.
std::string validatedSha256(const std::optional<std::string>& sha256);
// Throws ViewerError unless 1 <= size <= maximumPackageSize.
std::int64_t validatedPackageSize(const std::optional<std::int64_t>& sizeBytes);

// The launchd job that runs the script once, detached from the daemon, as XML.
std::string updaterJobPropertyList(const std::string& scriptPath, const std::string& logPath);

// Where the updater script keeps the backup of the installation it replaces.
std::filesystem::path backupRoot();

// A complete backup that no update consumed: what an update whose job was
// killed half way left behind.
struct UnconsumedBackup {
    std::filesystem::path directory;
    // The version the interrupted update was installing, as the backup records it.
    std::optional<std::string> version;
    // A rollback from it was started before (and did not finish).
    bool restoreAttempted = false;
};
// Looks only at real directories (no links) in the root-only backup root.
// Never throws.
std::optional<UnconsumedBackup> unconsumedBackup();

} // namespace kova::UpdateCheck
