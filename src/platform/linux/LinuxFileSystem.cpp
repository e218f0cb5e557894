#include "platform/FileSystem.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace kova::platform {
namespace {

std::int64_t bytesOf(unsigned long long blocks, unsigned long long unit) {
    constexpr auto max = static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max());
    if (unit != 0 && blocks > max / unit) {
        return std::numeric_limits<std::int64_t>::max();
    }
    return static_cast<std::int64_t>(blocks * unit);
}

} // namespace

VolumeDetails volumeDetails(const std::filesystem::path& path) {
    VolumeDetails details;
    // Linux file systems carry no display name apart from their mount point.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        details.isDirectory = S_ISDIR(st.st_mode);
    }
    struct statvfs fs {};
    if (::statvfs(path.c_str(), &fs) == 0) {
        const auto unit = static_cast<unsigned long long>(fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize);
        details.totalBytes = bytesOf(fs.f_blocks, unit);
        details.availableBytes = bytesOf(fs.f_bavail, unit);
    }
    return details;
}

int renameWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return errno;
    }
    // File systems without the flag: a hard link fails just as atomically
    // when the name is taken.
    if (::link(from.c_str(), to.c_str()) != 0) {
        return errno;
    }
    ::unlink(from.c_str());
    return 0;
}

int renameWithoutReplacingAt(int directoryFd, const std::string& from, const std::string& to) {
    if (::renameat2(directoryFd, from.c_str(), directoryFd, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return errno;
    }
    if (::linkat(directoryFd, from.c_str(), directoryFd, to.c_str(), 0) != 0) {
        return errno;
    }
    ::unlinkat(directoryFd, from.c_str(), 0);
    return 0;
}

} // namespace kova::platform
