#pragma once

#include "core/Json.hpp"
#include "core/Time.hpp"

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kova {

// The update status shared by the daemon, the updater job and the menu bar.
struct ViewerUpdateStatus {
    std::string phase;
    std::string message;
    std::string currentVersion;
    std::optional<std::string> availableVersion;
    Timestamp updatedAt{};
    std::optional<std::string> logPath;

    // Absent optional fields are left out of the object.
    Json toJson() const;
    // Throws DecodingError.
    static ViewerUpdateStatus decode(std::string_view text);
    bool operator==(const ViewerUpdateStatus&) const = default;
};

// A manual update check the menu bar asks the daemon for.
struct ViewerUpdateRequest {
    std::string id;
    Timestamp requestedAt{};
    std::string currentVersion;

    Json toJson() const;
    // Throws DecodingError.
    static ViewerUpdateRequest decode(std::string_view text);
    bool operator==(const ViewerUpdateRequest&) const = default;
};

// The three update files in the world-writable runtime directory and the rules
// that read meaning into them. Both programs link it; callable from any
// thread. Every write goes through a randomly named temporary file created
// exclusively in the directory and renamed over the target, and every read
// refuses links and oversized files, so nothing another local user plants
// there is followed by root.
namespace ViewerUpdateCoordinator {

std::filesystem::path runtimeDirectory();
std::filesystem::path statusPath();
std::filesystem::path requestPath();
std::filesystem::path lastAutomaticCheckPath();

// Files larger than this were not written by the product.
inline constexpr std::size_t maximumFileSize = 64 * 1024;
// How far in the future a time stamp in these files may lie and still be
// believed (clock skew between writers); one further ahead was planted, since
// the files are world-writable, and counts as stale or as never checked.
inline constexpr std::chrono::seconds maximumClockSkew{300};

// Creates the directory (with its parents) and gives it mode 1777 unless it
// has that mode already: the menu bar, which does not own the root-created
// directory, may not change its mode but still needs to succeed. Throws.
void ensureRuntimeDirectory();

// Never throws: failures are logged.
void writeStatus(const ViewerUpdateStatus& status);
// A stale progress status comes back (and is written back) as "failed".
std::optional<ViewerUpdateStatus> readStatus();
bool isStale(const ViewerUpdateStatus& status, Timestamp now);
bool isRunning(const ViewerUpdateStatus& status, Timestamp now);

// Drops a request for the daemon. Throws.
ViewerUpdateRequest requestManualCheck();
// Takes the request, if one was dropped; the file is deleted even when it
// cannot be decoded.
std::optional<ViewerUpdateRequest> consumeManualRequest();
// True when no automatic check ran in the last day; then records `now` as the
// last check. Never throws.
bool claimDailyAutomaticCheck(Timestamp now);

} // namespace ViewerUpdateCoordinator
} // namespace kova
