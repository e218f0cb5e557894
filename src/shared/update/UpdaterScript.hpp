#pragma once

#include <cstdint>
#include <string>

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

} // namespace kova
