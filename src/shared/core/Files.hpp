#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace kova::files {

// Owns one file descriptor and closes it.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// Reads a whole file; throws std::system_error when it cannot be opened or read.
std::string readFile(const std::filesystem::path& path);
// The same, but nullopt where the file cannot be read.
std::optional<std::string> readFileIfPresent(const std::filesystem::path& path);

// Replaces `path` atomically: the bytes go to a randomly named file created
// exclusively in the same directory (so nothing an unprivileged user planted
// is followed), which is then renamed over the target. Without an explicit
// mode the file gets the process's default permissions (0666 less the umask).
// Throws std::system_error.
void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         std::optional<mode_t> mode = std::nullopt);

// The same, for the entry `name` of an open directory: the temporary file and
// the rename stay inside that directory whatever its path now resolves to.
// shownDirectory only names the directory in error messages.
void writeFileAtomicallyAt(int directoryFd, const std::string& name, std::string_view bytes,
                           std::optional<mode_t> mode, const std::filesystem::path& shownDirectory);

// Reads a regular file of at most maxBytes; nullopt for anything else (a
// missing file, a directory, a FIFO that would block, a larger file). With
// followLinks false a symbolic link in the last component is refused too:
// for files in directories other users can write to.
std::optional<std::string> readRegularFile(const std::filesystem::path& path, std::size_t maxBytes,
                                           bool followLinks = true);

// readRegularFile for the entry `name` of an open directory, never following a
// link in it and refusing a file with a second hard link (one that another
// user linked there from a place they cannot read).
std::optional<std::string> readRegularFileAt(int directoryFd, const std::string& name, std::size_t maxBytes);

// readRegularFileAt for a file its caller has opened (and examined) already;
// takes over the descriptor.
std::optional<std::string> readOpenedRegularFile(UniqueFd file, std::size_t maxBytes);

// mkdir -p; an existing directory is not an error. Throws std::system_error.
void createDirectories(const std::filesystem::path& path);

mode_t processUmask();

} // namespace kova::files
