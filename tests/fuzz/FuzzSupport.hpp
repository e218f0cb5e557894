#pragma once

#include "config/DeviceTokenStore.hpp"
#include "core/Paths.hpp"
#include "core/Stop.hpp"
#include "net/HttpTransport.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Shared pieces of the fuzz targets: the input as text, a broken property
// aborts (libFuzzer keeps the input), and in-memory stand-ins for the
// transport and the token store so the API client runs without any I/O.
namespace kova::fuzz {

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, what);
    std::abort();
}

#define KOVA_FUZZ_REQUIRE(condition)                                                                         \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            ::kova::fuzz::fail(#condition, __FILE__, __LINE__);                                              \
        }                                                                                                    \
    } while (false)

// The input split at line feeds: one message per line.
inline std::vector<std::string> lines(std::string_view input) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= input.size()) {
        auto end = input.find('\n', start);
        if (end == std::string_view::npos) {
            end = input.size();
        }
        out.emplace_back(input.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// Every process-wide path (the log above all) below a private directory, so
// a run never writes into the machine's own locations.
class ScratchRoot {
public:
    ScratchRoot() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kova-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        path_ = pattern;
        override_ = std::make_unique<paths::ScopedRootOverride>(path_);
    }
    ~ScratchRoot() {
        override_.reset();
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchRoot(const ScratchRoot&) = delete;
    ScratchRoot& operator=(const ScratchRoot&) = delete;

private:
    std::filesystem::path path_;
    std::unique_ptr<paths::ScopedRootOverride> override_;
};

inline void useScratchRoot() {
    static const ScratchRoot root;
}

// Answers every request with 200 and the same body; remembers the requests.
class FixedBodyTransport final : public HttpTransport {
public:
    explicit FixedBodyTransport(std::string body) : body_(std::move(body)) {}
    HttpResponse send(const HttpRequest& request, StopToken) override {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        return {200, body_};
    }
    std::vector<HttpRequest> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    mutable std::mutex mutex_;
    std::string body_;
    std::vector<HttpRequest> requests_;
};

class MemoryTokenStore final : public DeviceTokenStoring {
public:
    std::optional<std::string> load() override { return token_; }
    void save(const std::string& token) override { token_ = token; }
    void clear() override { token_.reset(); }

private:
    std::optional<std::string> token_;
};

} // namespace kova::fuzz
