#include "support/CannedProxy.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include <atomic>
#include <mutex>
#include <thread>

namespace kova::test {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

class CannedProxy::Impl {
public:
    explicit Impl(std::string answer) : answer_(std::move(answer)) {
        acceptor_.open(tcp::v4());
        acceptor_.bind({asio::ip::make_address("127.0.0.1"), 0});
        acceptor_.listen();
        port_ = acceptor_.local_endpoint().port();
        thread_ = std::thread([this] { serve(); });
    }

    ~Impl() {
        stopping_ = true;
        // Wakes the blocking accept.
        boost::system::error_code ignored;
        tcp::socket poke(io_);
        poke.connect({asio::ip::make_address("127.0.0.1"), port_}, ignored);
        thread_.join();
    }

    std::uint16_t port() const { return port_; }

    std::vector<std::string> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    void serve() {
        while (true) {
            tcp::socket socket(io_);
            boost::system::error_code ec;
            acceptor_.accept(socket, ec);
            if (stopping_ || ec) {
                return;
            }
            asio::streambuf head(16 * 1024);
            const auto size = asio::read_until(socket, head, "\r\n\r\n", ec);
            if (!ec) {
                std::lock_guard lock(mutex_);
                requests_.emplace_back(asio::buffers_begin(head.data()),
                                       asio::buffers_begin(head.data()) + size);
            }
            asio::write(socket, asio::buffer(answer_), ec);
            socket.shutdown(tcp::socket::shutdown_both, ec);
        }
    }

    const std::string answer_;
    asio::io_context io_;
    tcp::acceptor acceptor_{io_};
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

CannedProxy::CannedProxy(std::string answer) : impl_(std::make_unique<Impl>(std::move(answer))) {}
CannedProxy::~CannedProxy() = default;

std::uint16_t CannedProxy::port() const {
    return impl_->port();
}

std::vector<std::string> CannedProxy::requests() const {
    return impl_->requests();
}

} // namespace kova::test
