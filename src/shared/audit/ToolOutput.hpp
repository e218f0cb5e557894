#pragma once

#include "process/ProcessRunner.hpp"

#include <chrono>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace kova::audit {

// A system tool that hangs (softwareupdate waiting on the network, for one)
// must not hold the audit forever; a run past this limit counts as failed.
inline constexpr std::chrono::minutes toolTimeLimit{5};

// The standard output of a tool that ran to a zero exit status, decoded as
// UTF-8 and trimmed; nothing when it could not start, failed, was ended by a
// signal or the time limit, or printed something that is not UTF-8.
std::optional<std::string> toolText(const ProcessResult& result);
// Runs `path` with `arguments` (standard error discarded) and applies toolText.
std::optional<std::string> runTool(ProcessRunner& runner, const std::string& path,
                                   std::vector<std::string> arguments, std::stop_token stop = {});

// Standard output and standard error of a tool as one text, whatever its exit
// status: for tools such as codesign that report on standard error. Nothing
// when it could not start, the text is not UTF-8, or it is empty once trimmed.
std::optional<std::string> combinedText(const ProcessResult& result);
std::optional<std::string> combinedToolOutput(ProcessRunner& runner, const std::string& path,
                                              std::vector<std::string> arguments, std::stop_token stop = {});

} // namespace kova::audit
