#include "audit/ToolOutput.hpp"

#include "core/Strings.hpp"
#include "core/Unicode.hpp"

namespace kova::audit {
namespace {

ProcessSpec specFor(const std::string& path, std::vector<std::string> arguments, bool merge) {
    ProcessSpec spec;
    spec.executable = path;
    spec.arguments = std::move(arguments);
    spec.mergeStandardError = merge;
    spec.timeLimit = toolTimeLimit;
    return spec;
}

} // namespace

std::optional<std::string> toolText(const ProcessResult& result) {
    if (!result.launched || result.signalled || result.timedOut || result.exitStatus != 0 ||
        !isValidUtf8(result.standardOutput)) {
        return std::nullopt;
    }
    return trimmed(result.standardOutput);
}

std::optional<std::string> runTool(ProcessRunner& runner, const std::string& path,
                                   std::vector<std::string> arguments, std::stop_token stop) {
    return toolText(runner.run(specFor(path, std::move(arguments), false), stop));
}

std::optional<std::string> combinedText(const ProcessResult& result) {
    if (!result.launched || result.timedOut) {
        return std::nullopt;
    }
    // A runner that kept the streams apart still yields both, in that order.
    const std::string& joined =
        result.standardError.empty() ? result.standardOutput : result.standardOutput + result.standardError;
    if (!isValidUtf8(joined)) {
        return std::nullopt;
    }
    auto text = trimmed(joined);
    if (text.empty()) {
        return std::nullopt;
    }
    return text;
}

std::optional<std::string> combinedToolOutput(ProcessRunner& runner, const std::string& path,
                                              std::vector<std::string> arguments, std::stop_token stop) {
    return combinedText(runner.run(specFor(path, std::move(arguments), true), stop));
}

} // namespace kova::audit
