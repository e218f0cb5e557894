#include "core/Files.hpp"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace kova::files {
namespace {

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Closes a descriptor and removes a temporary file (an entry of an open
// directory) unless released.
class TempFile {
public:
    TempFile(int fd, int directoryFd, std::string name, std::string shownPath)
        : fd_(fd), directoryFd_(directoryFd), name_(std::move(name)), shownPath_(std::move(shownPath)) {}
    ~TempFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        if (!committed_) {
            ::unlinkat(directoryFd_, name_.c_str(), 0);
        }
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    int fd() const { return fd_; }
    const std::string& name() const { return name_; }
    const std::string& shownPath() const { return shownPath_; }
    void closeChecked() {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) {
            throwErrno("close " + shownPath_);
        }
    }
    void commit() { committed_ = true; }

private:
    int fd_;
    int directoryFd_;
    std::string name_;
    std::string shownPath_;
    bool committed_ = false;
};

std::string randomSuffix() {
    static thread_local std::mt19937_64 engine{std::random_device{}()};
    static constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::uniform_int_distribution<std::size_t> pick(0, sizeof alphabet - 2);
    std::string out;
    for (int i = 0; i < 12; ++i) {
        out.push_back(alphabet[pick(engine)]);
    }
    return out;
}

std::optional<std::string> readOpenedRegularFile(int fd, std::size_t maxBytes, bool singleLink) {
    if (fd < 0) {
        return std::nullopt;
    }
    const UniqueFd owned(fd);
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<std::uint64_t>(st.st_size) <= maxBytes && (!singleLink || st.st_nlink == 1);
    std::string bytes;
    // Reads until the end, so a file that grew after fstat is still capped.
    while (ok) {
        char buffer[16384];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) {
            break;
        }
        if (n < 0) {
            ok = errno == EINTR;
            continue;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
        ok = bytes.size() <= maxBytes;
    }
    if (!ok) {
        return std::nullopt;
    }
    return bytes;
}

} // namespace

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

std::string readFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throwErrno("open " + path.string());
    }
    std::string out;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) {
            break;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int saved = errno;
            ::close(fd);
            errno = saved;
            throwErrno("read " + path.string());
        }
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return out;
}

std::optional<std::string> readFileIfPresent(const std::filesystem::path& path) {
    try {
        return readFile(path);
    } catch (const std::system_error&) {
        return std::nullopt;
    }
}

std::optional<std::string> readRegularFile(const std::filesystem::path& path, std::size_t maxBytes,
                                           bool followLinks) {
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW);
    return readOpenedRegularFile(::open(path.c_str(), flags), maxBytes, false);
}

std::optional<std::string> readRegularFileAt(int directoryFd, const std::string& name, std::size_t maxBytes) {
    return readOpenedRegularFile(
        ::openat(directoryFd, name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW), maxBytes, true);
}

std::optional<std::string> readOpenedRegularFile(UniqueFd file, std::size_t maxBytes) {
    return readOpenedRegularFile(file.release(), maxBytes, true);
}

mode_t processUmask() {
    // umask() can only be read by setting it; /proc tells without a race.
    if (auto status = readFileIfPresent("/proc/self/status")) {
        const auto pos = status->find("Umask:");
        if (pos != std::string::npos) {
            std::istringstream in(status->substr(pos + 6));
            std::string octal;
            in >> octal;
            try {
                return static_cast<mode_t>(std::stoul(octal, nullptr, 8));
            } catch (const std::exception&) {
            }
        }
    }
    return 022;
}

void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         std::optional<mode_t> mode) {
    const auto directory = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    const UniqueFd directoryFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directoryFd) {
        throwErrno("open directory " + directory.string());
    }
    writeFileAtomicallyAt(directoryFd.get(), path.filename().string(), bytes, mode, directory);
}

void writeFileAtomicallyAt(int directoryFd, const std::string& name, std::string_view bytes,
                           std::optional<mode_t> mode, const std::filesystem::path& shownDirectory) {
    const auto shown = [&](const std::string& entry) { return (shownDirectory / entry).string(); };
    std::optional<TempFile> temp;
    for (int attempt = 0; attempt < 16 && !temp; ++attempt) {
        auto candidate = "." + name + "." + randomSuffix() + ".tmp";
        const int fd = ::openat(directoryFd, candidate.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            temp.emplace(fd, directoryFd, std::move(candidate), shown(candidate));
        } else if (errno != EEXIST) {
            throwErrno("create temporary file in " + shownDirectory.string());
        }
    }
    if (!temp) {
        throw std::system_error(EEXIST, std::generic_category(),
                                "create temporary file in " + shownDirectory.string());
    }
    const mode_t finalMode = mode.value_or(0666 & ~processUmask());
    if (::fchmod(temp->fd(), finalMode) != 0) {
        throwErrno("chmod " + temp->shownPath());
    }
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(temp->fd(), bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwErrno("write " + temp->shownPath());
        }
        written += static_cast<std::size_t>(n);
    }
    if (::fsync(temp->fd()) != 0) {
        throwErrno("fsync " + temp->shownPath());
    }
    temp->closeChecked();
    if (::renameat(directoryFd, temp->name().c_str(), directoryFd, name.c_str()) != 0) {
        throwErrno("rename " + temp->shownPath() + " to " + shown(name));
    }
    temp->commit();
}

void createDirectories(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) {
        throw std::system_error(ec, "create directory " + path.string());
    }
    if (!std::filesystem::is_directory(path, ec)) {
        throw std::system_error(std::make_error_code(std::errc::not_a_directory),
                                "create directory " + path.string());
    }
}

} // namespace kova::files
