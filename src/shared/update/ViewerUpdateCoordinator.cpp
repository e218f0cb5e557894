#include "update/ViewerUpdateCoordinator.hpp"

#include "config/MacViewerBuildInfo.hpp"
#include "core/Files.hpp"
#include "core/Paths.hpp"
#include "core/Uuid.hpp"
#include "core/ViewerLogger.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace kova {
namespace {

using namespace std::chrono_literals;

constexpr mode_t runtimeDirectoryMode = 01777;
constexpr mode_t sharedFileMode = 0666;

constexpr std::array<std::string_view, 4> progressPhases = {"queued", "checking", "downloading",
                                                            "installing"};
constexpr std::array<std::string_view, 3> runningPhases = {"checking", "downloading", "installing"};

bool contains(const auto& phases, std::string_view phase) {
    return std::find(phases.begin(), phases.end(), phase) != phases.end();
}

// Another user may have planted anything at these names: no links, no FIFOs,
// nothing large.
std::optional<std::string> readSharedFile(const std::filesystem::path& path) {
    return files::readRegularFile(path, ViewerUpdateCoordinator::maximumFileSize, false);
}

// Overwrites an existing regular file without following a link; false when
// there is none or it cannot be written.
bool rewriteSharedFileInPlace(const std::filesystem::path& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::ftruncate(fd, 0) == 0;
    for (std::size_t written = 0; ok && written < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        written += ok ? static_cast<std::size_t>(n) : 0;
    }
    return ::close(fd) == 0 && ok;
}

} // namespace

Json ViewerUpdateStatus::toJson() const {
    Json json{{"phase", phase},
              {"message", message},
              {"currentVersion", currentVersion},
              {"updatedAt", formatIso8601(updatedAt)}};
    if (availableVersion) {
        json["availableVersion"] = *availableVersion;
    }
    if (logPath) {
        json["logPath"] = *logPath;
    }
    return json;
}

ViewerUpdateStatus ViewerUpdateStatus::decode(std::string_view text) {
    constexpr std::string_view what = "The update status";
    const auto json = parseJson(text, what);
    ViewerUpdateStatus status;
    status.phase = requireString(json, "phase", what);
    status.message = requireString(json, "message", what);
    status.currentVersion = requireString(json, "currentVersion", what);
    status.availableVersion = optionalString(json, "availableVersion", what);
    status.updatedAt = requireDate(json, "updatedAt", what);
    status.logPath = optionalString(json, "logPath", what);
    return status;
}

Json ViewerUpdateRequest::toJson() const {
    return Json{{"id", id}, {"requestedAt", formatIso8601(requestedAt)}, {"currentVersion", currentVersion}};
}

ViewerUpdateRequest ViewerUpdateRequest::decode(std::string_view text) {
    constexpr std::string_view what = "The update request";
    const auto json = parseJson(text, what);
    ViewerUpdateRequest request;
    request.id = requireString(json, "id", what);
    request.requestedAt = requireDate(json, "requestedAt", what);
    request.currentVersion = requireString(json, "currentVersion", what);
    return request;
}

namespace ViewerUpdateCoordinator {

std::filesystem::path runtimeDirectory() {
    return paths::runtimeDirectory();
}
std::filesystem::path statusPath() {
    return runtimeDirectory() / "update-status.json";
}
std::filesystem::path requestPath() {
    return runtimeDirectory() / "update-request.json";
}
std::filesystem::path lastAutomaticCheckPath() {
    return runtimeDirectory() / "last-automatic-update-check.json";
}

void ensureRuntimeDirectory() {
    const auto dir = runtimeDirectory();
    files::createDirectories(dir);
    // Through a descriptor opened without following links, so a planted link
    // can never make another directory world-writable.
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "open directory " + dir.string());
    }
    struct stat st {};
    int failure = 0;
    if (::fstat(fd, &st) != 0) {
        failure = errno;
    } else if ((st.st_mode & 07777) != runtimeDirectoryMode && ::fchmod(fd, runtimeDirectoryMode) != 0) {
        failure = errno;
    }
    ::close(fd);
    if (failure != 0) {
        throw std::system_error(failure, std::generic_category(), "chmod " + dir.string());
    }
}

void writeStatus(const ViewerUpdateStatus& status) {
    try {
        ensureRuntimeDirectory();
        const auto bytes = prettyJson(status.toJson());
        try {
            files::writeFileAtomically(statusPath(), bytes, sharedFileMode);
        } catch (const std::system_error& error) {
            // The sticky directory lets no one but its owner replace a file
            // another user wrote: the menu bar, then, rewrites root's
            // world-writable status in place.
            if ((error.code().value() != EPERM && error.code().value() != EACCES) ||
                !rewriteSharedFileInPlace(statusPath(), bytes)) {
                throw;
            }
        }
    } catch (const std::exception& error) {
        ViewerLogger::error(error, "Update status write failed");
    }
}

std::optional<ViewerUpdateStatus> readStatus() {
    const auto bytes = readSharedFile(statusPath());
    if (!bytes) {
        return std::nullopt;
    }
    ViewerUpdateStatus status;
    try {
        status = ViewerUpdateStatus::decode(*bytes);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    const auto now = nowSeconds();
    if (!isStale(status, now)) {
        return status;
    }
    ViewerUpdateStatus replacement{
        "failed",
        "Poprzednia aktualizacja nie zakończyła pracy. Kliknij „Sprawdź teraz”, aby ponowić aktualizację.",
        std::string(MacViewerBuildInfo::version),
        status.availableVersion,
        now,
        status.logPath};
    writeStatus(replacement);
    return replacement;
}

bool isStale(const ViewerUpdateStatus& status, Timestamp now) {
    if (!contains(progressPhases, status.phase)) {
        return false;
    }
    if (status.updatedAt - now > maximumClockSkew) {
        return true;
    }
    const auto limit = status.phase == "queued" ? 180s : status.phase == "checking" ? 300s : 1200s;
    return now - status.updatedAt > limit;
}

bool isRunning(const ViewerUpdateStatus& status, Timestamp now) {
    return contains(runningPhases, status.phase) && !isStale(status, now);
}

ViewerUpdateRequest requestManualCheck() {
    ensureRuntimeDirectory();
    ViewerUpdateRequest request{makeUuid(), nowSeconds(), std::string(MacViewerBuildInfo::version)};
    files::writeFileAtomically(requestPath(), prettyJson(request.toJson()));
    return request;
}

std::optional<ViewerUpdateRequest> consumeManualRequest() {
    const auto path = requestPath();
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    std::optional<ViewerUpdateRequest> request;
    if (const auto bytes = readSharedFile(path)) {
        try {
            request = ViewerUpdateRequest::decode(*bytes);
        } catch (const std::exception&) {
        }
    }
    // unlink removes a planted link itself, never what it points to.
    [[maybe_unused]] const int ignored = ::unlink(path.c_str());
    return request;
}

bool claimDailyAutomaticCheck(Timestamp now) {
    try {
        ensureRuntimeDirectory();
        const auto path = lastAutomaticCheckPath();
        if (const auto bytes = readSharedFile(path)) {
            try {
                const auto json = parseJson(*bytes, "The last automatic update check");
                const auto last = json.is_string() ? parseIso8601(json.get<std::string>()) : std::nullopt;
                if (last && now - *last < 24h && *last - now <= maximumClockSkew) {
                    return false;
                }
            } catch (const DecodingError&) {
                // Garbage counts as never checked; the write below repairs it.
            }
        }
        files::writeFileAtomically(path, prettyJson(Json(formatIso8601(now))), sharedFileMode);
        return true;
    } catch (const std::exception& error) {
        ViewerLogger::error(error, "Automatic update check timestamp write failed");
        return false;
    }
}

} // namespace ViewerUpdateCoordinator
} // namespace kova
