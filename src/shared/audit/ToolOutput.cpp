#include "audit/ToolOutput.hpp"

#include "process/Shell.hpp"

namespace kova::audit {

std::optional<std::string> runTool(ProcessRunner& runner, const std::string& path,
                                   std::vector<std::string> arguments, StopToken stop) {
    return Shell::run(runner, path, arguments, std::move(stop), toolTimeLimit);
}

std::optional<std::string> combinedToolOutput(ProcessRunner& runner, const std::string& path,
                                              std::vector<std::string> arguments, StopToken stop) {
    return Shell::processOutput(runner, path, arguments, std::move(stop), toolTimeLimit);
}

} // namespace kova::audit
