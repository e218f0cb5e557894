#pragma once

#include "core/Stop.hpp"
#include "process/ProcessRunner.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace kova::audit {

// A system tool that hangs (softwareupdate waiting on the network, for one)
// must not hold the audit forever; a run past this limit counts as failed.
inline constexpr std::chrono::minutes toolTimeLimit{5};

// Shell::run and Shell::processOutput with the audit's time limit.
std::optional<std::string> runTool(ProcessRunner& runner, const std::string& path,
                                   std::vector<std::string> arguments, StopToken stop = {});
std::optional<std::string> combinedToolOutput(ProcessRunner& runner, const std::string& path,
                                              std::vector<std::string> arguments, StopToken stop = {});

} // namespace kova::audit
