#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

// The one diagnostic log, shared by both programs: "sekwo.log" in the log
// directory (or the fallback in /tmp), one time-stamped line per call, kept
// under 10 MiB by truncation. Control characters in messages are escaped, so
// no message can start a line of its own. Callable from any thread; never
// throws.
namespace kova::ViewerLogger {

inline constexpr std::uint64_t maximumLogFileSize = 10'485'760;

void info(std::string_view message);
void warn(std::string_view message);
void error(std::string_view message);
// message + ": " + the error's description
void error(const std::exception& error, std::string_view message);

std::filesystem::path logFile();

// The message as it is written: line feed, carriage return and tab become
// "\n", "\r" and "\t", every other control character (C0, DEL, C1, and the
// Unicode line and paragraph separators) "\u" and four hex digits, and a
// byte that is not UTF-8 "\x" and two hex digits.
std::string escapeControlCharacters(std::string_view text);

} // namespace kova::ViewerLogger
