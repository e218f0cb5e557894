#include "process/ShellCommand.hpp"

#include "core/Errors.hpp"
#include "core/Payload.hpp"
#include "core/Strings.hpp"
#include "core/Time.hpp"
#include "core/ToolPaths.hpp"
#include "core/Unicode.hpp"

#include <array>
#include <string_view>
#include <system_error>
#include <utf8proc.h>
#include <utility>

namespace kova {
namespace {

constexpr std::string_view errorDomain = "KovaViewerShell";
constexpr std::string_view truncationMarker = "\n...[output truncated by Sekwo Tarnvik]...";

constexpr std::array<std::pair<std::string_view, std::string_view>, 3> shells = {{
    {"zsh", tools::zsh},
    {"bash", tools::bash},
    {"sh", tools::sh},
}};

// Lower-cases every code point, so the error message shows a non-ASCII name
// the way it was looked up; bytes that are not UTF-8 are kept as they are.
std::string lowercased(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        utf8proc_int32_t cp = 0;
        const auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + i),
                                        static_cast<utf8proc_ssize_t>(text.size() - i), &cp);
        if (n <= 0) {
            out += text[i++];
            continue;
        }
        std::array<utf8proc_uint8_t, 4> encoded{};
        const auto length = utf8proc_encode_char(utf8proc_tolower(cp), encoded.data());
        out.append(reinterpret_cast<const char*>(encoded.data()), static_cast<std::size_t>(length));
        i += static_cast<std::size_t>(n);
    }
    return out;
}

[[noreturn]] void fail(std::string description) {
    throw DomainError(std::string(errorDomain), 400, std::move(description));
}

// Byte length of the first `count` characters of pure ASCII text, where every
// byte is a character except that "\r\n" is one; npos when a byte is not
// ASCII. Command output is mostly ASCII, and this keeps large outputs cheap.
std::size_t asciiPrefixLength(std::string_view text, std::size_t count) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return std::string_view::npos;
        }
    }
    std::size_t i = 0;
    for (std::size_t seen = 0; seen < count && i < text.size(); ++seen) {
        i += text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n' ? 2 : 1;
    }
    return i;
}

// Bytes kept per character of the limit: room for flags and emoji with a
// modifier, while a single endless grapheme cluster (a base followed by
// millions of combining marks) still cannot grow the result without bound.
constexpr std::size_t bytesPerCharacter = 8;

// Length of `bytes` without a UTF-8 sequence cut off at its end.
std::size_t completeSequencesLength(std::string_view bytes) {
    std::size_t end = bytes.size();
    for (std::size_t back = 1; back <= 3 && back <= bytes.size(); ++back) {
        const auto c = static_cast<unsigned char>(bytes[bytes.size() - back]);
        if ((c & 0xC0) != 0x80) {
            const std::size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            if (need > back) {
                end = bytes.size() - back;
            }
            break;
        }
    }
    return end;
}

// Invalid UTF-8 gives "", as a partial decode could not be trusted either.
// `cut` says the runner dropped bytes after these: the text is then marked
// truncated even when what was kept fits the limit.
std::string limitedText(const std::string& captured, bool cut, std::size_t maxCharacters) {
    const std::string_view bytes(captured.data(), cut ? completeSequencesLength(captured) : captured.size());
    auto prefix = asciiPrefixLength(bytes, maxCharacters);
    if (prefix == std::string_view::npos) {
        if (!isValidUtf8(bytes)) {
            return {};
        }
        prefix = graphemePrefixLength(bytes, maxCharacters);
    }
    // A prefix shorter than the text means it has more characters than the limit.
    if (prefix >= bytes.size() && !cut) {
        return captured;
    }
    std::string out;
    out.reserve(prefix + truncationMarker.size());
    out.append(bytes.substr(0, prefix));
    out.append(truncationMarker);
    return out;
}

} // namespace

Json executeShell(ProcessRunner& runner, const Json& payload, StopToken stop) {
    const Json* shellValue = payloadValue(payload, "shell");
    const auto shellName =
        lowercased(trimmed(shellValue && shellValue->is_string() ? shellValue->get_ref<const std::string&>()
                                                                 : std::string("zsh")));
    std::string_view executable;
    for (const auto& [name, path] : shells) {
        if (name == shellName) {
            executable = path;
        }
    }
    if (executable.empty()) {
        fail("Unsupported macOS shell: " + shellName);
    }

    const Json* commandValue = payloadValue(payload, "command");
    if (!commandValue || !commandValue->is_string() ||
        trimmed(commandValue->get_ref<const std::string&>()).empty()) {
        fail("Command cannot be empty.");
    }
    const auto& command = commandValue->get_ref<const std::string&>();

    const auto timeoutSeconds = payloadInt(payloadValue(payload, "timeout_seconds"), 60, 1, 300);
    const auto maxOutputChars = payloadInt(payloadValue(payload, "max_output_chars"), 200000, 1000, 500000);

    ProcessSpec spec;
    spec.executable = std::string(executable);
    spec.arguments = {"-lc", command};
    spec.timeLimit = std::chrono::seconds(timeoutSeconds);
    spec.killGrace = std::chrono::milliseconds(300);
    const auto limit = static_cast<std::size_t>(maxOutputChars);
    spec.outputLimitBytes = limit * bytesPerCharacter;
    const auto result = runner.run(spec, std::move(stop));
    if (!result.launched) {
        throw std::system_error(result.launchError, std::generic_category(),
                                "Could not start " + spec.executable);
    }

    if (result.stopped) {
        throw DomainError(std::string(errorDomain), 503,
                          "The command was interrupted because the agent stopped.");
    }
    return Json{
        {"platform", "macos"},
        {"shell", shellName},
        {"executable", spec.executable},
        {"command", command},
        {"exit_code", result.exitStatus},
        {"stdout", limitedText(result.standardOutput, result.standardOutputTruncated, limit)},
        {"stderr", limitedText(result.standardError, result.standardErrorTruncated, limit)},
        {"timed_out", result.timedOut},
        {"duration_ms", static_cast<std::int64_t>(result.duration.count())},
        {"completed_at", formatIso8601(nowSeconds())},
    };
}

Json executeShell(const Json& payload, StopToken stop) {
    return executeShell(*systemProcessRunner(), payload, std::move(stop));
}

} // namespace kova
