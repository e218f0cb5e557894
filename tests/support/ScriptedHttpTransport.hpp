#pragma once

#include "core/Errors.hpp"
#include "core/Sleeper.hpp"
#include "core/Stop.hpp"
#include "net/HttpTransport.hpp"

#include <deque>
#include <mutex>
#include <variant>
#include <vector>

namespace kova::test {

// Answers requests from a script of responses or network errors, in order,
// and records every request it was given.
class ScriptedHttpTransport : public HttpTransport {
public:
    void respond(long status, std::string body = {});
    void fail(NetworkErrorCode code);
    HttpResponse send(const HttpRequest& request, StopToken stop) override;
    // The route it reports for every URL (direct unless set).
    void routeThrough(std::optional<platform::Proxy> proxy);
    std::optional<platform::Proxy> proxyFor(const std::string& url) override;

    std::vector<HttpRequest> requests() const;
    std::size_t remaining() const;

private:
    mutable std::mutex mutex_;
    std::deque<std::variant<HttpResponse, NetworkErrorCode>> script_;
    std::vector<HttpRequest> requests_;
    std::optional<platform::Proxy> proxy_;
};

// Records waits instead of sleeping.
class RecordingSleeper : public Sleeper {
public:
    bool sleep(StopToken stop, std::chrono::nanoseconds duration) override;
    std::vector<std::chrono::nanoseconds> waits() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::chrono::nanoseconds> waits_;
};

// Finds a header value by name (case-insensitive); nullopt when absent.
std::optional<std::string> headerValue(const HttpRequest& request, std::string_view name);

} // namespace kova::test
