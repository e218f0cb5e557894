#include "process/Shell.hpp"

#include "core/Strings.hpp"
#include "core/Unicode.hpp"

namespace kova::Shell {

std::optional<std::string> run(ProcessRunner& runner, const std::string& path,
                               const std::vector<std::string>& arguments, StopToken stop,
                               std::optional<std::chrono::milliseconds> timeLimit) {
    ProcessSpec spec;
    spec.executable = path;
    spec.arguments = arguments;
    spec.timeLimit = timeLimit;
    const auto result = runner.run(spec, std::move(stop));
    if (!result.launched || result.signalled || result.timedOut || result.exitStatus != 0) {
        return std::nullopt;
    }
    if (!isValidUtf8(result.standardOutput)) {
        return std::nullopt;
    }
    return trimmed(result.standardOutput);
}

std::optional<std::string> run(const std::string& path, const std::vector<std::string>& arguments,
                               StopToken stop) {
    return run(*systemProcessRunner(), path, arguments, std::move(stop));
}

std::optional<std::string> processOutput(ProcessRunner& runner, const std::string& program,
                                         const std::vector<std::string>& arguments, StopToken stop,
                                         std::optional<std::chrono::milliseconds> timeLimit) {
    ProcessSpec spec;
    spec.executable = program;
    spec.arguments = arguments;
    spec.mergeStandardError = true;
    spec.timeLimit = timeLimit;
    const auto result = runner.run(spec, std::move(stop));
    if (!result.launched || result.timedOut || !isValidUtf8(result.standardOutput)) {
        return std::nullopt;
    }
    auto text = trimmed(result.standardOutput);
    if (text.empty()) {
        return std::nullopt;
    }
    return text;
}

std::optional<std::string> processOutput(const std::string& program,
                                         const std::vector<std::string>& arguments, StopToken stop) {
    return processOutput(*systemProcessRunner(), program, arguments, std::move(stop));
}

} // namespace kova::Shell
