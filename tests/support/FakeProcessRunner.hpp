#pragma once

#include "core/Stop.hpp"
#include "process/ProcessRunner.hpp"

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace kova::test {

// Answers runs from a table keyed by executable and arguments, so parsers and
// collectors can be fed captured tool output. Unknown commands fail to launch
// (like a tool missing from this machine). Thread-safe; records every call.
class FakeProcessRunner : public ProcessRunner {
public:
    // Exact executable + arguments.
    void add(const std::string& executable, const std::vector<std::string>& arguments,
             std::string standardOutput, int exitStatus = 0, std::string standardError = {});
    // Any arguments for this executable (used when no exact entry matches).
    void addAny(const std::string& executable, std::string standardOutput, int exitStatus = 0);
    // Computes the answer from the ProcessSpec (for delays or argument-dependent output).
    void addHandler(const std::string& executable, std::function<ProcessResult(const ProcessSpec&)> handler);

    ProcessResult run(const ProcessSpec& spec, StopToken stop = {}) override;

    std::vector<ProcessSpec> calls() const;
    std::size_t callCount(const std::string& executable) const;

private:
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::vector<std::string>>, ProcessResult> exact_;
    std::map<std::string, ProcessResult> any_;
    std::map<std::string, std::function<ProcessResult(const ProcessSpec&)>> handlers_;
    std::vector<ProcessSpec> calls_;
};

} // namespace kova::test
