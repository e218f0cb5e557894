#include "support/FakeProcessRunner.hpp"

#include <cerrno>

namespace kova::test {
namespace {

ProcessResult finished(std::string out, int status, std::string err) {
    ProcessResult r;
    r.launched = true;
    r.exitStatus = status;
    r.standardOutput = std::move(out);
    r.standardError = std::move(err);
    return r;
}

} // namespace

void FakeProcessRunner::add(const std::string& executable, const std::vector<std::string>& arguments,
                            std::string standardOutput, int exitStatus, std::string standardError) {
    std::lock_guard lock(mutex_);
    exact_[{executable, arguments}] =
        finished(std::move(standardOutput), exitStatus, std::move(standardError));
}

void FakeProcessRunner::addAny(const std::string& executable, std::string standardOutput, int exitStatus) {
    std::lock_guard lock(mutex_);
    any_[executable] = finished(std::move(standardOutput), exitStatus, {});
}

void FakeProcessRunner::addHandler(const std::string& executable,
                                   std::function<ProcessResult(const ProcessSpec&)> handler) {
    std::lock_guard lock(mutex_);
    handlers_[executable] = std::move(handler);
}

ProcessResult FakeProcessRunner::run(const ProcessSpec& spec, StopToken) {
    std::function<ProcessResult(const ProcessSpec&)> handler;
    ProcessResult result;
    {
        std::lock_guard lock(mutex_);
        calls_.push_back(spec);
        if (auto it = exact_.find({spec.executable, spec.arguments}); it != exact_.end()) {
            result = it->second;
        } else if (auto h = handlers_.find(spec.executable); h != handlers_.end()) {
            handler = h->second;
        } else if (auto a = any_.find(spec.executable); a != any_.end()) {
            result = a->second;
        } else {
            result.launched = false;
            result.launchError = ENOENT;
            return result;
        }
    }
    if (handler) {
        result = handler(spec); // outside the lock: handlers may sleep
    }
    if (spec.mergeStandardError) {
        result.standardOutput += result.standardError;
        result.standardError.clear();
    }
    return result;
}

std::vector<ProcessSpec> FakeProcessRunner::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::size_t FakeProcessRunner::callCount(const std::string& executable) const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& c : calls_) {
        n += c.executable == executable ? 1 : 0;
    }
    return n;
}

} // namespace kova::test
