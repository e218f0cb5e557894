#include "support/ScriptedHttpTransport.hpp"

#include "core/Stop.hpp"
#include "core/Strings.hpp"

#include <stdexcept>

namespace kova::test {

void ScriptedHttpTransport::respond(long status, std::string body) {
    std::lock_guard lock(mutex_);
    script_.emplace_back(HttpResponse{status, std::move(body)});
}

void ScriptedHttpTransport::fail(NetworkErrorCode code) {
    std::lock_guard lock(mutex_);
    script_.emplace_back(code);
}

void ScriptedHttpTransport::routeThrough(std::optional<platform::Proxy> proxy) {
    std::lock_guard lock(mutex_);
    proxy_ = std::move(proxy);
}

std::optional<platform::Proxy> ScriptedHttpTransport::proxyFor(const std::string&) {
    std::lock_guard lock(mutex_);
    return proxy_;
}

HttpResponse ScriptedHttpTransport::send(const HttpRequest& request, StopToken) {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    if (script_.empty()) {
        throw std::logic_error("ScriptedHttpTransport: unexpected request to " + request.url);
    }
    auto next = std::move(script_.front());
    script_.pop_front();
    if (auto* code = std::get_if<NetworkErrorCode>(&next)) {
        throw NetworkError(*code);
    }
    return std::get<HttpResponse>(std::move(next));
}

std::vector<HttpRequest> ScriptedHttpTransport::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t ScriptedHttpTransport::remaining() const {
    std::lock_guard lock(mutex_);
    return script_.size();
}

bool RecordingSleeper::sleep(StopToken stop, std::chrono::nanoseconds duration) {
    std::lock_guard lock(mutex_);
    waits_.push_back(duration);
    return !stop.stop_requested();
}

std::vector<std::chrono::nanoseconds> RecordingSleeper::waits() const {
    std::lock_guard lock(mutex_);
    return waits_;
}

std::optional<std::string> headerValue(const HttpRequest& request, std::string_view name) {
    for (const auto& [key, value] : request.headers) {
        if (equalsIgnoringCase(key, name)) {
            return value;
        }
    }
    return std::nullopt;
}

} // namespace kova::test
