#include "core/ViewerLogger.hpp"

#include "core/Errors.hpp"
#include "core/Files.hpp"
#include "core/Paths.hpp"
#include "core/Time.hpp"

#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utf8proc.h>

namespace kova::ViewerLogger {
namespace {

constexpr const char* fileName = "sekwo.log";

std::mutex& lock() {
    static std::mutex m;
    return m;
}

bool createPrimaryDirectory() {
    std::error_code ec;
    const auto primary = paths::logDirectory();
    std::filesystem::create_directories(primary, ec);
    return !ec && std::filesystem::is_directory(primary, ec);
}

bool needsRotation(std::uint64_t size, std::uint64_t nextEntrySize) {
    return size >= maximumLogFileSize || size + nextEntrySize > maximumLogFileSize;
}

// The primary directory is root's own; its file is opened without following a
// link and used as it is.
files::UniqueFd openPrimaryFile() {
    const auto dir = paths::logDirectory();
    const files::UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd) {
        return {};
    }
    return files::UniqueFd(::openat(
        dirFd.get(), fileName, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
}

// The fallback lives in /tmp, where anyone can create entries first: the
// directory must be a real directory of this process's user that nobody else
// can write to, and the file a regular file of the same user with no second
// link, so a planted link or hard link never makes this process write
// somewhere else.
files::UniqueFd openFallbackFile() {
    const auto dir = paths::fallbackLogDirectory();
    const files::UniqueFd parentFd(::open(dir.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parentFd) {
        return {};
    }
    const auto name = dir.filename().string();
    ::mkdirat(parentFd.get(), name.c_str(), 0755);
    const files::UniqueFd dirFd(
        ::openat(parentFd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const uid_t self = ::geteuid();
    struct stat st {};
    if (!dirFd || ::fstat(dirFd.get(), &st) != 0 || st.st_uid != self ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return {};
    }
    files::UniqueFd fileFd(::openat(
        dirFd.get(), fileName, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    if (!fileFd || ::fstat(fileFd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != self ||
        st.st_nlink != 1) {
        return {};
    }
    return fileFd;
}

void appendEscaped(std::string& out, std::int32_t codePoint) {
    switch (codePoint) {
    case '\n':
        out += "\\n";
        return;
    case '\r':
        out += "\\r";
        return;
    case '\t':
        out += "\\t";
        return;
    default:
        char buffer[8];
        std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(codePoint));
        out += buffer;
    }
}

bool isControl(std::int32_t cp) {
    return cp < 0x20 || (cp >= 0x7f && cp <= 0x9f) || cp == 0x2028 || cp == 0x2029;
}

void write(std::string_view level, std::string_view message) {
    std::lock_guard guard(lock());
    std::string line = formatIso8601(nowSeconds());
    line += " [";
    line += level;
    line += "] ";
    line += escapeControlCharacters(message);
    line += '\n';

    const auto fd = createPrimaryDirectory() ? openPrimaryFile() : openFallbackFile();
    if (!fd) {
        return;
    }
    // Truncating through the descriptor keeps rotation on the very file checked above.
    struct stat st {};
    const std::uint64_t size = ::fstat(fd.get(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    if (needsRotation(size, line.size())) {
        [[maybe_unused]] const int truncated = ::ftruncate(fd.get(), 0);
    }
    [[maybe_unused]] const auto ignored = ::write(fd.get(), line.data(), line.size());
}

} // namespace

std::string escapeControlCharacters(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    auto remaining = static_cast<utf8proc_ssize_t>(text.size());
    while (remaining > 0) {
        utf8proc_int32_t cp = 0;
        const auto length = utf8proc_iterate(bytes, remaining, &cp);
        if (length <= 0) {
            // A byte that is not UTF-8: shown as its value, so the file stays UTF-8.
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\x%02x", static_cast<unsigned>(*bytes));
            out += buffer;
            ++bytes;
            --remaining;
            continue;
        }
        if (isControl(cp)) {
            appendEscaped(out, cp);
        } else {
            out.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length));
        }
        bytes += length;
        remaining -= length;
    }
    return out;
}

std::filesystem::path logFile() {
    return (createPrimaryDirectory() ? paths::logDirectory() : paths::fallbackLogDirectory()) / fileName;
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
