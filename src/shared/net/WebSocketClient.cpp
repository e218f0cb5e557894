// GCC cannot instrument the fences inside Asio; ThreadSanitizer builds say so
// with -Wtsan, which -Werror would make fatal. The pragma must come before the
// first standard header.
#if defined(__SANITIZE_THREAD__)
#pragma GCC diagnostic ignored "-Wtsan"
#endif

#include "net/WebSocketClient.hpp"

#include "core/Base64.hpp"
#include "core/ViewerLogger.hpp"
#include "net/NetworkRouting.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/url/parse.hpp>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cctype>
#include <deque>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

namespace kova {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;

using Strand = asio::strand<asio::io_context::executor_type>;
using PlainSocket = websocket::stream<beast::tcp_stream>;
using TlsSocket = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

// Reading pauses while this much waits for receive(), so a fast sender cannot
// grow memory without bound.
constexpr std::size_t maxQueuedMessages = 256;
// A proxy's answer to CONNECT is a status line and a few headers; anything
// longer is refused rather than buffered.
constexpr std::uint32_t maxTunnelAnswerBytes = 16 * 1024;

struct Endpoint {
    bool tls = false;
    std::string host; // without IPv6 brackets: for resolving, SNI and the certificate check
    bool hostIsAddress = false;
    std::string port;
    std::string hostHeader;
    std::string target;

    // "host:port" with the port always given: what a CONNECT asks for.
    std::string authority() const {
        return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port;
    }
};

bool isHostChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_';
}

bool isTokenChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

// URL texts may carry secrets in their query, so no message below repeats them.
Endpoint parseEndpoint(const std::string& text) {
    const auto parsed = boost::urls::parse_uri(text);
    if (!parsed) {
        throw std::invalid_argument("Invalid WebSocket URL.");
    }
    const auto& url = *parsed;
    Endpoint endpoint;
    if (url.scheme_id() == boost::urls::scheme::wss) {
        endpoint.tls = true;
    } else if (url.scheme_id() != boost::urls::scheme::ws) {
        throw std::invalid_argument("WebSocket URL scheme must be ws or wss.");
    }
    if (url.has_userinfo()) {
        throw std::invalid_argument("WebSocket URL must not carry user information.");
    }
    switch (url.host_type()) {
    case boost::urls::host_type::name:
        endpoint.host = url.host_address();
        if (endpoint.host.empty() || !std::all_of(endpoint.host.begin(), endpoint.host.end(), isHostChar)) {
            throw std::invalid_argument("Invalid WebSocket URL host.");
        }
        endpoint.hostHeader = endpoint.host;
        break;
    case boost::urls::host_type::ipv4:
        endpoint.host = url.host_address();
        endpoint.hostIsAddress = true;
        endpoint.hostHeader = endpoint.host;
        break;
    case boost::urls::host_type::ipv6:
        endpoint.host = url.host_address();
        endpoint.hostIsAddress = true;
        endpoint.hostHeader = "[" + endpoint.host + "]";
        break;
    default:
        throw std::invalid_argument("Invalid WebSocket URL host.");
    }
    endpoint.port = endpoint.tls ? "443" : "80";
    if (url.has_port() && !url.port().empty()) {
        if (url.port_number() == 0) {
            throw std::invalid_argument("Invalid WebSocket URL port.");
        }
        endpoint.port = std::to_string(url.port_number());
        endpoint.hostHeader += ":" + endpoint.port;
    }
    endpoint.target = url.encoded_path().empty() ? "/" : std::string(url.encoded_path());
    if (url.has_query()) {
        endpoint.target += "?" + std::string(url.encoded_query());
    }
    return endpoint;
}

// Names and values go into the upgrade request verbatim: a line break would let
// a value inject headers, and the protocol's own headers are not the caller's.
void validateHeaders(const std::vector<std::pair<std::string, std::string>>& headers) {
    static constexpr std::string_view reserved[] = {"host",
                                                    "upgrade",
                                                    "connection",
                                                    "sec-websocket-key",
                                                    "sec-websocket-version",
                                                    "content-length",
                                                    "transfer-encoding",
                                                    "sec-websocket-extensions"};
    for (const auto& [name, value] : headers) {
        if (name.empty() || !std::all_of(name.begin(), name.end(), isTokenChar)) {
            throw std::invalid_argument("Invalid WebSocket header name.");
        }
        for (const auto& r : reserved) {
            if (equalsIgnoringCase(name, r)) {
                throw std::invalid_argument("WebSocket header " + name + " is set by the client itself.");
            }
        }
        if (std::any_of(value.begin(), value.end(), [](char c) {
                const auto u = static_cast<unsigned char>(c);
                return (u < 0x20 && c != '\t') || u == 0x7F;
            })) {
            throw std::invalid_argument("Invalid value for WebSocket header " + name + ".");
        }
    }
}

ssl::context makeTlsContext(const std::string& extraTrustedCaPem, const std::optional<std::string>& anchors) {
    ssl::context context(ssl::context::tls_client);
    context.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                        ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
    if (anchors) {
        // The platform's roots replace OpenSSL's default paths, which on a Mac
        // name a directory of the build machine. No roots: nothing verifies.
        error_code ec;
        if (!anchors->empty()) {
            context.add_certificate_authority(asio::buffer(*anchors), ec);
        }
    } else {
        // A missing system store leaves no anchor, so every server fails the check.
        error_code ignored;
        context.set_default_verify_paths(ignored);
    }
    context.set_verify_mode(ssl::verify_peer);
    if (!extraTrustedCaPem.empty()) {
        error_code ec;
        context.add_certificate_authority(asio::buffer(extraTrustedCaPem), ec);
        if (ec) {
            throw std::invalid_argument("Invalid extra trusted CA certificate.");
        }
    }
    return context;
}

std::exception_ptr failure(NetworkErrorCode code, std::string detail) {
    return std::make_exception_ptr(NetworkError(code, std::move(detail)));
}

std::exception_ptr cancelled(std::string detail) {
    return failure(NetworkErrorCode::cancelled, std::move(detail));
}

bool isConnectionLoss(const error_code& ec) {
    return ec == asio::error::eof || ec == asio::error::connection_reset || ec == asio::error::broken_pipe ||
           ec == asio::error::connection_aborted || ec == asio::error::not_connected ||
           ec == ssl::error::stream_truncated;
}

enum class Step { resolve, connect, tls, upgrade, session };

std::exception_ptr networkFailure(const error_code& ec, Step step) {
    using enum NetworkErrorCode;
    if (ec == beast::error::timeout || ec == asio::error::timed_out) {
        return failure(timedOut, ec.message());
    }
    switch (step) {
    case Step::resolve:
        if (ec == asio::error::host_not_found || ec == asio::error::no_data) {
            return failure(cannotFindHost, ec.message());
        }
        return failure(dnsLookupFailed, ec.message());
    case Step::connect:
        if (ec == asio::error::network_unreachable || ec == asio::error::network_down) {
            return failure(notConnectedToInternet, ec.message());
        }
        return failure(cannotConnectToHost, ec.message());
    case Step::tls:
        return failure(secureConnectionFailed, ec.message());
    case Step::upgrade:
    case Step::session:
        if (isConnectionLoss(ec)) {
            return failure(networkConnectionLost, ec.message());
        }
        if (ec.category() == asio::error::get_ssl_category()) {
            return failure(secureConnectionFailed, ec.message());
        }
        return failure(other, ec.message());
    }
    return failure(other, ec.message());
}

} // namespace

WebSocketClosedError::WebSocketClosedError(std::uint16_t closeCode, std::string reason)
    : NetworkError(NetworkErrorCode::networkConnectionLost,
                   "closed by the server with code " + std::to_string(closeCode)),
      closeCode_(closeCode), reason_(std::move(reason)) {}

WebSocketUpgradeError::WebSocketUpgradeError(int status, std::string body)
    : status_(status), body_(std::move(body)),
      description_("WebSocket upgrade refused with HTTP " + std::to_string(status)) {}

class WebSocketClient::Impl {
public:
    explicit Impl(WebSocketClientOptions options)
        : options_(std::move(options)), route_(routing::orSystem(options_.route)),
          tls_(makeTlsContext(options_.extraTrustedCaPem, route_->trustAnchorsPem())) {
        thread_ = std::thread([this] { ioc_.run(); });
    }

    ~Impl() {
        close(goingAway);
        // Everything is closed by now; handlers that have not run are only
        // destroyed with the io_context, never invoked.
        asio::post(strand_, [this] {
            finish(cancelled("client destroyed"));
            ioc_.stop();
        });
        thread_.join();
    }

    void connect(const WebSocketRequest& request, StopToken stop) {
        auto endpoint = parseEndpoint(request.url);
        validateHeaders(request.headers);
        auto proxy = routing::proxyFor(*route_, request.url);
        {
            std::lock_guard lock(mutex_);
            if (closeRequested_) {
                throw NetworkError(NetworkErrorCode::cancelled, "closed before connecting");
            }
            if (state_ != State::idle) {
                throw std::logic_error("WebSocketClient::connect may be called only once.");
            }
            state_ = State::connecting;
        }
        ViewerLogger::info(routing::describe(request.url, proxy));
        asio::post(strand_, [this, endpoint = std::move(endpoint), headers = request.headers,
                             proxy = std::move(proxy)]() mutable {
            startConnect(std::move(endpoint), std::move(headers), std::move(proxy));
        });
        {
            StopCallback onStop(stop, [this] {
                asio::post(strand_, [this] {
                    if (state_ == State::connecting) {
                        finish(cancelled("connect stopped"));
                    }
                });
            });
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return state_ != State::connecting; });
            if (state_ != State::closed) {
                return;
            }
        }
        std::rethrow_exception(failure_);
    }

    void send(std::string_view data, bool binary, StopToken stop) {
        auto write = std::make_shared<PendingWrite>();
        write->data.assign(data);
        write->binary = binary;
        std::unique_lock lock(mutex_);
        throwUnlessUsable();
        asio::post(strand_, [this, write] { enqueue(write); });
        if (!changed_.wait(lock, stop, [&] { return write->done; })) {
            // A frame already on the wire cannot be taken back; an unsent one is dropped.
            write->abandoned = true;
            throw NetworkError(NetworkErrorCode::cancelled, "send stopped");
        }
        if (write->error) {
            std::rethrow_exception(write->error);
        }
    }

    WebSocketMessage receive(StopToken stop) {
        std::unique_lock lock(mutex_);
        if (state_ == State::idle || state_ == State::connecting) {
            throw std::logic_error("WebSocketClient::receive needs an open connection.");
        }
        changed_.wait(lock, stop,
                      [this] { return closeRequested_ || !inbox_.empty() || state_ == State::closed; });
        if (closeRequested_) {
            throw NetworkError(NetworkErrorCode::cancelled, "closed");
        }
        if (!inbox_.empty()) {
            auto message = std::move(inbox_.front());
            inbox_.pop_front();
            inboxBytes_ -= message.payload.size();
            if (readPaused_ && !inboxFull()) {
                readPaused_ = false;
                asio::post(strand_, [this] { readNext(); });
            }
            return message;
        }
        if (state_ == State::closed) {
            std::rethrow_exception(failure_);
        }
        throw NetworkError(NetworkErrorCode::cancelled, "receive stopped");
    }

    void close(std::uint16_t code) noexcept {
        {
            std::lock_guard lock(mutex_);
            closeRequested_ = true;
            changed_.notify_all();
            if (state_ == State::idle) {
                state_ = State::closed;
                failure_ = cancelled("closed");
            }
            if (state_ == State::closed) {
                return;
            }
        }
        // A second close() finds the session closing and just waits with the first.
        asio::post(strand_, [this, code] { beginClose(code); });
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return state_ == State::closed; });
    }

private:
    enum class State { idle, connecting, open, closing, closed };

    struct PendingWrite {
        std::string data;
        bool binary = false;
        // Guarded by mutex_.
        bool started = false;
        bool abandoned = false;
        bool done = false;
        std::exception_ptr error;
    };

    // Caller side, with mutex_ held.
    void throwUnlessUsable() const {
        if (state_ == State::idle || state_ == State::connecting) {
            throw std::logic_error("WebSocketClient::send needs an open connection.");
        }
        if (closeRequested_) {
            throw NetworkError(NetworkErrorCode::cancelled, "closed");
        }
        if (state_ != State::open) {
            std::rethrow_exception(failure_);
        }
    }

    bool inboxFull() const {
        return inbox_.size() >= maxQueuedMessages || inboxBytes_ >= options_.maxMessageBytes;
    }

    // Everything below runs on the strand. state_ changes only there (under
    // mutex_), so the strand reads it without the lock.

    template <class F> void withSocket(F&& f) {
        if (tlsSocket_) {
            f(*tlsSocket_);
        } else if (plainSocket_) {
            f(*plainSocket_);
        }
    }

    void setState(State state) {
        std::lock_guard lock(mutex_);
        state_ = state;
        changed_.notify_all();
    }

    // Each step of opening gets its own deadline; re-arming invalidates the
    // previous one even if its expiry is already queued.
    void armWatchdog(std::chrono::milliseconds after) {
        const auto generation = ++watchdogGeneration_;
        watchdog_.expires_after(after);
        watchdog_.async_wait([this, generation](const error_code& ec) {
            if (ec || generation != watchdogGeneration_) {
                return;
            }
            if (state_ == State::connecting) {
                finish(failure(NetworkErrorCode::timedOut,
                               proxy_ && !tunnelOpen_ ? "no answer from the proxy " + proxy_->endpoint()
                                                      : "no progress while connecting"));
            } else if (state_ == State::closing) {
                finish(cancelled("closed without the peer's reply"));
            }
        });
    }

    void disarmWatchdog() {
        ++watchdogGeneration_;
        watchdog_.cancel();
    }

    void startConnect(Endpoint endpoint, std::vector<std::pair<std::string, std::string>> headers,
                      std::optional<platform::Proxy> proxy) {
        if (state_ != State::connecting) {
            return;
        }
        endpoint_ = std::move(endpoint);
        headers_ = std::move(headers);
        proxy_ = std::move(proxy);
        if (endpoint_.tls) {
            tlsSocket_ = std::make_unique<TlsSocket>(strand_, tls_);
        } else {
            plainSocket_ = std::make_unique<PlainSocket>(strand_);
        }
        armWatchdog(options_.connectTimeout);
        // Through a proxy the only name resolved here is the proxy's; the
        // server's is the proxy's business.
        resolver_.async_resolve(proxy_ ? proxy_->host : endpoint_.host,
                                proxy_ ? std::to_string(proxy_->port) : endpoint_.port,
                                [this](const error_code& ec, const tcp::resolver::results_type& results) {
                                    onResolved(ec, results);
                                });
    }

    void onResolved(const error_code& ec, const tcp::resolver::results_type& results) {
        if (state_ != State::connecting) {
            return;
        }
        if (ec) {
            finish(proxy_ ? proxyFailure(codeOf(networkFailure(ec, Step::resolve)),
                                         "cannot be found: " + ec.message())
                          : networkFailure(ec, Step::resolve));
            return;
        }
        armWatchdog(options_.connectTimeout);
        withSocket([&](auto& ws) {
            beast::get_lowest_layer(ws).async_connect(
                results, [this](const error_code& e, const tcp::endpoint&) { onConnected(e); });
        });
    }

    void onConnected(const error_code& ec) {
        if (state_ != State::connecting) {
            return;
        }
        if (ec) {
            finish(proxy_ ? proxyFailure(codeOf(networkFailure(ec, Step::connect)),
                                         "cannot be reached: " + ec.message())
                          : networkFailure(ec, Step::connect));
            return;
        }
        if (proxy_) {
            requestTunnel();
            return;
        }
        startSession();
    }

    // A proxy step's failure, with a text that names the proxy (never its
    // credentials). A proxy that is missing or drops the connection may be
    // back in a moment; one that answers with a refusal or nonsense will say
    // the same again, so it is no transient error for the callers' retry.
    std::exception_ptr proxyFailure(NetworkErrorCode code, const std::string& what) const {
        return failure(code, "the proxy " + proxy_->endpoint() + " " + what);
    }

    static NetworkErrorCode codeOf(const std::exception_ptr& error) {
        try {
            std::rethrow_exception(error);
        } catch (const NetworkError& e) {
            return e.code();
        } catch (...) {
            return NetworkErrorCode::other;
        }
    }

    // CONNECT host:port, then a bounded read of the proxy's answer.
    void requestTunnel() {
        const auto authority = endpoint_.authority();
        tunnelRequest_.emplace(http::verb::connect, authority, 11);
        tunnelRequest_->set(http::field::host, authority);
        if (proxy_->user || proxy_->password) {
            tunnelRequest_->set(
                http::field::proxy_authorization,
                "Basic " + base64Encoded(proxy_->user.value_or("") + ":" + proxy_->password.value_or("")));
        }
        armWatchdog(options_.connectTimeout);
        withSocket([&](auto& ws) {
            http::async_write(beast::get_lowest_layer(ws), *tunnelRequest_,
                              [this](const error_code& e, std::size_t) { onTunnelRequested(e); });
        });
    }

    void onTunnelRequested(const error_code& ec) {
        tunnelRequest_.reset(); // the credentials leave memory as soon as they are sent
        if (state_ != State::connecting) {
            return;
        }
        if (ec) {
            finish(proxyFailure(NetworkErrorCode::cannotConnectToHost,
                                "closed the connection: " + ec.message()));
            return;
        }
        tunnelAnswer_.emplace();
        tunnelAnswer_->header_limit(maxTunnelAnswerBytes);
        // A tunnel's answer has no body, whatever its headers claim.
        tunnelAnswer_->skip(true);
        armWatchdog(options_.connectTimeout);
        withSocket([&](auto& ws) {
            http::async_read_header(beast::get_lowest_layer(ws), tunnelBuffer_, *tunnelAnswer_,
                                    [this](const error_code& e, std::size_t) { onTunnelAnswered(e); });
        });
    }

    void onTunnelAnswered(const error_code& ec) {
        if (state_ != State::connecting) {
            return;
        }
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
            finish(proxyFailure(NetworkErrorCode::other, "answered the tunnel request with more than " +
                                                             std::to_string(maxTunnelAnswerBytes) +
                                                             " bytes of headers"));
            return;
        }
        if (ec == http::error::end_of_stream || isConnectionLoss(ec)) {
            finish(proxyFailure(NetworkErrorCode::cannotConnectToHost,
                                "closed the connection without answering the tunnel request"));
            return;
        }
        if (ec) {
            finish(proxyFailure(NetworkErrorCode::other,
                                "sent no valid answer to the tunnel request: " + ec.message()));
            return;
        }
        const auto status = tunnelAnswer_->get().result_int();
        tunnelAnswer_.reset();
        if (status < 200 || status > 299) {
            finish(proxyFailure(NetworkErrorCode::other,
                                "refused the tunnel with HTTP " + std::to_string(status)));
            return;
        }
        // The server speaks only after the client's first message, so bytes
        // here came from the proxy and would corrupt the session.
        if (tunnelBuffer_.size() != 0) {
            finish(proxyFailure(NetworkErrorCode::other, "sent data after opening the tunnel"));
            return;
        }
        tunnelOpen_ = true;
        startSession();
    }

    // TLS (for wss) and the upgrade, over the TCP connection or the tunnel.
    void startSession() {
        if (!tlsSocket_) {
            upgrade();
            return;
        }
        auto& stream = tlsSocket_->next_layer();
        // SNI carries names only, never address literals.
        if (!endpoint_.hostIsAddress &&
            SSL_set_tlsext_host_name(stream.native_handle(), endpoint_.host.c_str()) != 1) {
            finish(failure(NetworkErrorCode::secureConnectionFailed, "cannot set the server name"));
            return;
        }
        stream.set_verify_mode(ssl::verify_peer);
        stream.set_verify_callback(ssl::host_name_verification(endpoint_.host));
        armWatchdog(options_.connectTimeout);
        stream.async_handshake(ssl::stream_base::client, [this](const error_code& e) { onTlsHandshake(e); });
    }

    void onTlsHandshake(const error_code& ec) {
        if (state_ != State::connecting) {
            return;
        }
        if (ec) {
            const auto verifyResult = SSL_get_verify_result(tlsSocket_->next_layer().native_handle());
            const bool rejected =
                verifyResult != X509_V_OK ||
                (ec.category() == asio::error::get_ssl_category() &&
                 ERR_GET_REASON(static_cast<unsigned long>(ec.value())) == SSL_R_CERTIFICATE_VERIFY_FAILED);
            if (rejected) {
                finish(failure(NetworkErrorCode::serverCertificateUntrusted,
                               verifyResult != X509_V_OK ? X509_verify_cert_error_string(verifyResult)
                                                         : "host name does not match the certificate"));
            } else {
                finish(networkFailure(ec, Step::tls));
            }
            return;
        }
        upgrade();
    }

    void upgrade() {
        armWatchdog(options_.connectTimeout);
        withSocket([&](auto& ws) {
            ws.read_message_max(options_.maxMessageBytes);
            ws.set_option(
                websocket::stream_base::decorator([headers = headers_](websocket::request_type& req) {
                    for (const auto& [name, value] : headers) {
                        req.set(name, value);
                    }
                }));
            ws.async_handshake(upgradeResponse_, endpoint_.hostHeader, endpoint_.target,
                               [this](const error_code& e) { onUpgraded(e); });
        });
    }

    void onUpgraded(const error_code& ec) {
        if (state_ != State::connecting) {
            return;
        }
        if (ec == websocket::error::upgrade_declined) {
            finish(std::make_exception_ptr(
                WebSocketUpgradeError(upgradeResponse_.result_int(), std::move(upgradeResponse_.body()))));
            return;
        }
        if (ec) {
            finish(networkFailure(ec, Step::upgrade));
            return;
        }
        disarmWatchdog();
        upgradeResponse_ = {};
        withSocket([&](auto& ws) {
            websocket::stream_base::timeout timeouts{};
            timeouts.handshake_timeout = options_.closeTimeout;
            timeouts.idle_timeout =
                options_.idleTimeout.count() > 0
                    ? std::chrono::duration_cast<std::chrono::steady_clock::duration>(options_.idleTimeout)
                    : websocket::stream_base::none();
            timeouts.keep_alive_pings = true;
            ws.set_option(timeouts);
        });
        setState(State::open);
        readNext();
    }

    void readNext() {
        if (reading_ || state_ != State::open) {
            return;
        }
        {
            std::lock_guard lock(mutex_);
            if (inboxFull()) {
                readPaused_ = true;
                return;
            }
        }
        reading_ = true;
        withSocket([&](auto& ws) {
            ws.async_read(readBuffer_, [this](const error_code& e, std::size_t) { onRead(e); });
        });
    }

    void onRead(const error_code& ec) {
        reading_ = false;
        if (state_ != State::open) {
            // Our own close is under way (its completion ends the session) or over.
            return;
        }
        if (ec == websocket::error::closed) {
            std::optional<websocket::close_reason> reason;
            withSocket([&](auto& ws) { reason = ws.reason(); });
            finish(std::make_exception_ptr(WebSocketClosedError(
                reason->code, std::string(reason->reason.data(), reason->reason.size()))));
            return;
        }
        if (ec) {
            finish(networkFailure(ec, Step::session));
            return;
        }
        WebSocketMessage message;
        withSocket([&](auto& ws) { message.binary = ws.got_binary(); });
        message.payload = beast::buffers_to_string(readBuffer_.data());
        readBuffer_.consume(readBuffer_.size());
        {
            std::lock_guard lock(mutex_);
            inboxBytes_ += message.payload.size();
            inbox_.push_back(std::move(message));
            changed_.notify_all();
        }
        readNext();
    }

    void enqueue(const std::shared_ptr<PendingWrite>& write) {
        if (state_ != State::open && state_ != State::closing) {
            complete(*write, failure_ ? failure_ : cancelled("closed"));
            return;
        }
        writes_.push_back(write);
        writeNext();
    }

    void complete(PendingWrite& write, std::exception_ptr error) {
        std::lock_guard lock(mutex_);
        write.done = true;
        write.error = std::move(error);
        changed_.notify_all();
    }

    void writeNext() {
        if (writing_) {
            return;
        }
        std::shared_ptr<PendingWrite> next;
        while (!writes_.empty() && !next) {
            auto candidate = std::move(writes_.front());
            writes_.pop_front();
            std::lock_guard lock(mutex_);
            if (!candidate->abandoned) {
                candidate->started = true;
                next = std::move(candidate);
            }
        }
        if (!next) {
            if (state_ == State::closing && closeCode_ && !closeStarted_) {
                startClose();
            }
            return;
        }
        writing_ = true;
        withSocket([&](auto& ws) {
            ws.binary(next->binary);
            ws.async_write(asio::buffer(next->data),
                           [this, next](const error_code& e, std::size_t) { onWritten(next, e); });
        });
    }

    void onWritten(const std::shared_ptr<PendingWrite>& write, const error_code& ec) {
        writing_ = false;
        if (state_ == State::closed) {
            complete(*write, ec ? failure_ : nullptr);
            return;
        }
        if (ec) {
            auto error = networkFailure(ec, Step::session);
            complete(*write, error);
            finish(error);
            return;
        }
        complete(*write, nullptr);
        writeNext();
    }

    void beginClose(std::uint16_t code) {
        if (state_ == State::connecting) {
            finish(cancelled("closed while connecting"));
            return;
        }
        if (state_ != State::open) {
            return;
        }
        setState(State::closing);
        closeCode_ = code;
        armWatchdog(options_.closeTimeout);
        // Frames queued before close() still go out first.
        writeNext();
    }

    void startClose() {
        closeStarted_ = true;
        withSocket([&](auto& ws) {
            ws.async_close(websocket::close_reason(*closeCode_),
                           [this](const error_code&) { finish(cancelled("closed")); });
        });
    }

    // The one way a session ends: record why, release the socket and wake
    // every waiting caller.
    void finish(std::exception_ptr error) {
        if (state_ == State::closed) {
            return;
        }
        disarmWatchdog();
        resolver_.cancel();
        withSocket([](auto& ws) { beast::get_lowest_layer(ws).close(); });
        for (const auto& write : writes_) {
            complete(*write, error);
        }
        writes_.clear();
        std::lock_guard lock(mutex_);
        failure_ = std::move(error);
        state_ = State::closed;
        changed_.notify_all();
    }

    const WebSocketClientOptions options_;
    const std::shared_ptr<const platform::NetworkRoute> route_;
    asio::io_context ioc_;
    asio::executor_work_guard<asio::io_context::executor_type> work_{ioc_.get_executor()};
    Strand strand_{asio::make_strand(ioc_)};
    ssl::context tls_;
    tcp::resolver resolver_{strand_};
    asio::steady_timer watchdog_{strand_};
    std::uint64_t watchdogGeneration_ = 0;

    // Strand only.
    Endpoint endpoint_;
    std::vector<std::pair<std::string, std::string>> headers_;
    std::optional<platform::Proxy> proxy_;
    std::optional<http::request<http::empty_body>> tunnelRequest_;
    std::optional<http::response_parser<http::empty_body>> tunnelAnswer_;
    beast::flat_buffer tunnelBuffer_{maxTunnelAnswerBytes};
    bool tunnelOpen_ = false;
    std::unique_ptr<PlainSocket> plainSocket_;
    std::unique_ptr<TlsSocket> tlsSocket_;
    websocket::response_type upgradeResponse_;
    beast::flat_buffer readBuffer_;
    std::deque<std::shared_ptr<PendingWrite>> writes_;
    bool reading_ = false;
    bool writing_ = false;
    std::optional<std::uint16_t> closeCode_;
    bool closeStarted_ = false;

    // Shared with callers, guarded by mutex_ (state_ is written only on the strand
    // once connecting has begun).
    std::mutex mutex_;
    ConditionVariableAny changed_;
    State state_ = State::idle;
    bool closeRequested_ = false;
    std::exception_ptr failure_;
    std::deque<WebSocketMessage> inbox_;
    std::size_t inboxBytes_ = 0;
    bool readPaused_ = false;

    std::thread thread_;
};

WebSocketClient::WebSocketClient(WebSocketClientOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

WebSocketClient::~WebSocketClient() = default;

void WebSocketClient::connect(const WebSocketRequest& request, StopToken stop) {
    impl_->connect(request, std::move(stop));
}

void WebSocketClient::send(std::string_view text, StopToken stop) {
    impl_->send(text, false, std::move(stop));
}

void WebSocketClient::sendBinary(std::string_view data, StopToken stop) {
    impl_->send(data, true, std::move(stop));
}

WebSocketMessage WebSocketClient::receive(StopToken stop) {
    return impl_->receive(std::move(stop));
}

void WebSocketClient::close(std::uint16_t code) noexcept {
    impl_->close(code);
}

} // namespace kova
