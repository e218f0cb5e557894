#pragma once

#include "core/Stop.hpp"
#include "process/ProcessRunner.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// Reads the output of system tools run with fixed arguments (audit probes,
// the network scanner, remote-session signalling). Stateless; any thread may
// call it. Blocks until the tool exits, the caller's stop token fires or the
// optional time limit passes (a run ended that way counts as failed).
namespace kova::Shell {

// The tool's standard output, trimmed of surrounding white space and line
// breaks; nothing when it cannot be started, exits with a non-zero status or
// is ended by a signal, or prints invalid UTF-8. Standard error is collected
// (so a chatty tool cannot block on a full pipe) and dropped.
std::optional<std::string> run(ProcessRunner& runner, const std::string& path,
                               const std::vector<std::string>& arguments, StopToken stop = {},
                               std::optional<std::chrono::milliseconds> timeLimit = std::nullopt);
std::optional<std::string> run(const std::string& path, const std::vector<std::string>& arguments,
                               StopToken stop = {});

// Standard output and standard error as one stream, whatever the exit status
// (the code-signature tool reports on standard error); trimmed; nothing when
// the program cannot be started, the text is not UTF-8 or nothing remains.
std::optional<std::string> processOutput(ProcessRunner& runner, const std::string& program,
                                         const std::vector<std::string>& arguments, StopToken stop = {},
                                         std::optional<std::chrono::milliseconds> timeLimit = std::nullopt);
std::optional<std::string> processOutput(const std::string& program,
                                         const std::vector<std::string>& arguments, StopToken stop = {});

} // namespace kova::Shell
