#include "menubar/ApplicationInstanceLock.hpp"

#include "core/Paths.hpp"

#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>
#include <utility>

namespace kova::menubar {

std::filesystem::path ApplicationInstanceLock::lockPath() {
    return paths::fixed("/tmp/pl.tarnvik.sekwo.menubar." + std::to_string(::getuid()) + ".lock");
}

std::optional<ApplicationInstanceLock> ApplicationInstanceLock::acquire() {
    // /tmp is shared with every user: a link planted there is not followed.
    const int fd = ::open(lockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return std::nullopt;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return std::nullopt;
    }
    return ApplicationInstanceLock(fd);
}

ApplicationInstanceLock::ApplicationInstanceLock(ApplicationInstanceLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

ApplicationInstanceLock& ApplicationInstanceLock::operator=(ApplicationInstanceLock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

ApplicationInstanceLock::~ApplicationInstanceLock() {
    release();
}

void ApplicationInstanceLock::release() {
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
        fd_ = -1;
    }
}

} // namespace kova::menubar
