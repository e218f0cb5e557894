#pragma once

#include "core/Stop.hpp"

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kova {

struct ProcessSpec {
    std::string executable; // absolute path
    std::vector<std::string> arguments;
    // Standard error goes into the standard output pipe (one combined stream).
    bool mergeStandardError = false;
    // Standard output and error go to the null device: nothing is read, so a
    // child (or a process it leaves behind) may write for as long as it likes.
    bool discardOutput = false;
    // When set, a child still running at the limit gets SIGTERM, then SIGKILL
    // after killGrace.
    std::optional<std::chrono::milliseconds> timeLimit;
    std::chrono::milliseconds killGrace{300};
    // Once the child has exited, how long output is still collected while a
    // process it left behind keeps the pipes open.
    std::chrono::milliseconds drainGrace{500};
    // Bytes kept per stream; the rest is still read (so the child never
    // blocks on a full pipe) but dropped, and the stream is marked truncated.
    std::size_t outputLimitBytes = std::size_t{64} << 20;
};

struct ProcessResult {
    bool launched = false;
    int launchError = 0; // errno of a failed launch
    int exitStatus = -1; // the exit code, or the signal number of a signalled child
    bool signalled = false;
    bool timedOut = false;
    std::string standardOutput;           // raw bytes
    std::string standardError;            // raw bytes (empty when merged)
    bool standardOutputTruncated = false; // bytes beyond outputLimitBytes were dropped
    bool standardErrorTruncated = false;
    // The child was ended because a stop was requested (not by the time limit).
    bool stopped = false;
    std::chrono::milliseconds duration{0};
};

// Runs a program to completion, draining both pipes while it runs so output
// of any size is consumed (and kept up to outputLimitBytes), and always
// waiting for the child. Implementations
// never throw and may be called from any thread at once. A stop request ends
// the child the same way as the time limit.
class ProcessRunner {
public:
    virtual ~ProcessRunner() = default;
    virtual ProcessResult run(const ProcessSpec& spec, StopToken stop = {}) = 0;
};

// The real runner (posix_spawn).
std::shared_ptr<ProcessRunner> systemProcessRunner();

} // namespace kova
