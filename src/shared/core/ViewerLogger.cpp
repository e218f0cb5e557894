#include "core/ViewerLogger.hpp"

#include "core/Errors.hpp"
#include "core/Paths.hpp"
#include "core/Time.hpp"

#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace kova::ViewerLogger {
namespace {

std::mutex& lock() {
    static std::mutex m;
    return m;
}

std::filesystem::path writableLogDirectory() {
    std::error_code ec;
    const auto primary = paths::logDirectory();
    std::filesystem::create_directories(primary, ec);
    if (!ec && std::filesystem::is_directory(primary, ec)) {
        return primary;
    }
    const auto fallback = paths::fallbackLogDirectory();
    std::filesystem::create_directories(fallback, ec);
    return fallback;
}

void createEmptyFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0) {
        ::close(fd);
    }
}

void write(std::string_view level, std::string_view message) {
    std::lock_guard guard(lock());
    std::string line = formatIso8601(nowSeconds());
    line += " [";
    line += level;
    line += "] ";
    line += message;
    line += '\n';

    const auto path = writableLogDirectory() / "sekwo.log";
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        createEmptyFile(path);
    }
    rotateLogIfNeeded(path, line.size());
    // O_NOFOLLOW: the fallback lives in /tmp, where anyone could plant a link.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return;
    }
    [[maybe_unused]] const auto ignored = ::write(fd, line.data(), line.size());
    ::close(fd);
}

} // namespace

std::filesystem::path logFile() {
    return writableLogDirectory() / "sekwo.log";
}

void rotateLogIfNeeded(const std::filesystem::path& path, std::uint64_t nextEntrySize) {
    struct stat st {};
    const std::uint64_t size = ::lstat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    if (size < maximumLogFileSize && size + nextEntrySize <= maximumLogFileSize) {
        return;
    }
    std::error_code ec;
    std::filesystem::remove(path, ec);
    createEmptyFile(path);
}

void info(std::string_view message) {
    write("INFO", message);
}
void warn(std::string_view message) {
    write("WARN", message);
}
void error(std::string_view message) {
    write("ERROR", message);
}

void error(const std::exception& err, std::string_view message) {
    std::string text(message);
    text += ": ";
    text += errorDescription(err);
    write("ERROR", text);
}

} // namespace kova::ViewerLogger
