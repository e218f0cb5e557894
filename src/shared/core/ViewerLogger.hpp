#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <string_view>

// The one diagnostic log, shared by both programs: "sekwo.log" in the log
// directory (or the fallback in /tmp), one time-stamped line per call, kept
// under 10 MiB by truncation. Callable from any thread; never throws.
namespace kova::ViewerLogger {

inline constexpr std::uint64_t maximumLogFileSize = 10'485'760;

void info(std::string_view message);
void warn(std::string_view message);
void error(std::string_view message);
// message + ": " + the error's description
void error(const std::exception& error, std::string_view message);

std::filesystem::path logFile();
// Truncates the file when appending nextEntrySize bytes would pass the limit.
void rotateLogIfNeeded(const std::filesystem::path& path, std::uint64_t nextEntrySize);

} // namespace kova::ViewerLogger
