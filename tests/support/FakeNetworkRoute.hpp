#pragma once

#include "platform/NetworkRoute.hpp"

#include <mutex>
#include <string>
#include <vector>

namespace kova::test {

// Answers every URL with the same proxy (or direct) and the same anchors, and
// records the URLs it was asked about.
class FakeNetworkRoute : public platform::NetworkRoute {
public:
    explicit FakeNetworkRoute(std::optional<platform::Proxy> proxy = std::nullopt,
                              std::optional<std::string> anchors = std::nullopt)
        : proxy_(std::move(proxy)), anchors_(std::move(anchors)) {}

    std::optional<platform::Proxy> proxyFor(std::string_view url) const override {
        std::lock_guard lock(mutex_);
        asked_.emplace_back(url);
        return proxy_;
    }
    std::optional<std::string> trustAnchorsPem() const override { return anchors_; }

    std::vector<std::string> asked() const {
        std::lock_guard lock(mutex_);
        return asked_;
    }

private:
    std::optional<platform::Proxy> proxy_;
    std::optional<std::string> anchors_;
    mutable std::mutex mutex_;
    mutable std::vector<std::string> asked_;
};

} // namespace kova::test
