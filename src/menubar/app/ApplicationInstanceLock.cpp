#include "menubar/app/ApplicationInstanceLock.hpp"

#include "core/Paths.hpp"
#include "core/ViewerLogger.hpp"
#include "menubar/platform/UserPrivateDirectory.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace kova::menubar {
namespace {

enum class Taken { locked, heldElsewhere, unusable };

// Opens (creating it 0600 when missing) and locks the file; never through a
// link, and only the user's own regular file with a single name counts.
Taken lockFile(const std::filesystem::path& path, files::UniqueFd& fd, std::string& why) {
    fd = files::UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
    if (!fd) {
        why = std::strerror(errno);
        return Taken::unusable;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1 ||
        info.st_uid != ::getuid()) {
        why = "it is not a regular file of user " + std::to_string(::getuid()) + " (owner " +
              std::to_string(info.st_uid) + ")";
        fd.reset();
        return Taken::unusable;
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        fd.reset();
        if (error == EWOULDBLOCK) {
            return Taken::heldElsewhere;
        }
        why = std::strerror(error);
        return Taken::unusable;
    }
    return Taken::locked;
}

} // namespace

std::filesystem::path ApplicationInstanceLock::lockPath() {
    return paths::fixed("/tmp/pl.tarnvik.sekwo.menubar." + std::to_string(::getuid()) + ".lock");
}

std::optional<std::filesystem::path> ApplicationInstanceLock::privateLockPath() {
    const auto directory = userPrivateDirectory();
    if (!directory) {
        return std::nullopt;
    }
    return *directory / "pl.tarnvik.sekwo.menubar.lock";
}

std::optional<ApplicationInstanceLock> ApplicationInstanceLock::acquire() {
    files::UniqueFd own;
    std::string why;
    if (const auto path = privateLockPath()) {
        switch (lockFile(*path, own, why)) {
        case Taken::heldElsewhere:
            return std::nullopt;
        case Taken::unusable:
            ViewerLogger::warn("Instance lock " + path->string() + " could not be taken: " + why);
            break;
        case Taken::locked:
            break;
        }
    } else {
        ViewerLogger::warn("No private directory for the instance lock; only the shared one is used");
    }

    files::UniqueFd shared;
    switch (lockFile(lockPath(), shared, why)) {
    case Taken::heldElsewhere:
        // The user's own file: a running instance (perhaps of an earlier version) holds it.
        return std::nullopt;
    case Taken::unusable:
        // Another user may have made it, or holds a lock on it: that proves nothing.
        ViewerLogger::warn("Shared instance lock " + lockPath().string() + " passed over: " + why);
        break;
    case Taken::locked:
        break;
    }
    if (!own && !shared) {
        ViewerLogger::warn("Starting without an instance lock");
    }
    return ApplicationInstanceLock(std::move(own), std::move(shared));
}

} // namespace kova::menubar
