#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kova::test {

// A proxy on 127.0.0.1 (port 0) that never opens a tunnel: it reads each
// request's head (bounded), records it, writes one fixed answer (nothing at
// all when the answer is empty) and closes. For the refusals a real proxy
// gives. Any thread may call it.
class CannedProxy {
public:
    explicit CannedProxy(std::string answer);
    ~CannedProxy();
    CannedProxy(const CannedProxy&) = delete;
    CannedProxy& operator=(const CannedProxy&) = delete;

    std::uint16_t port() const;
    // Each request head as received, up to and including the blank line.
    std::vector<std::string> requests() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kova::test
