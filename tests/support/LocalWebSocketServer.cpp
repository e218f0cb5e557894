// GCC cannot instrument the fences inside Asio; ThreadSanitizer builds say so
// with -Wtsan, which -Werror would make fatal. The pragma must come before the
// first standard header.
#if defined(__SANITIZE_THREAD__)
#pragma GCC diagnostic ignored "-Wtsan"
#endif

#include "support/LocalWebSocketServer.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace kova::test {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;

struct KeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct CertFree {
    void operator()(X509* p) const { X509_free(p); }
};
struct BioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertPtr = std::unique_ptr<X509, CertFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

void check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string("test certificate: ") + what);
    }
}

KeyPtr newKey() {
    KeyPtr key(EVP_EC_gen("P-256"));
    check(key != nullptr, "key generation");
    return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    check(ext != nullptr, "extension");
    const int added = X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    check(added == 1, "add extension");
}

CertPtr newCertificate(EVP_PKEY* key, const std::string& commonName, X509* issuer, long serial) {
    CertPtr cert(X509_new());
    check(cert != nullptr, "X509_new");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30L * 24 * 3600);
    check(X509_set_pubkey(cert.get(), key) == 1, "public key");
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    X509* signer = issuer != nullptr ? issuer : cert.get();
    check(X509_set_issuer_name(cert.get(), X509_get_subject_name(signer)) == 1, "issuer");
    addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    if (issuer == nullptr) {
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature");
        addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
    }
    return cert;
}

void sign(X509* cert, EVP_PKEY* key) {
    check(X509_sign(cert, key, EVP_sha256()) > 0, "sign");
}

std::string toPem(const std::function<int(BIO*)>& write) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    check(bio != nullptr && write(bio.get()) == 1, "PEM");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

struct TestCa {
    KeyPtr key = newKey();
    CertPtr cert;
    std::string pem;

    TestCa() {
        cert = newCertificate(key.get(), "Kova Test CA", nullptr, 1);
        sign(cert.get(), key.get());
        pem = toPem([&](BIO* bio) { return PEM_write_bio_X509(bio, cert.get()); });
    }
};

const TestCa& testCa() {
    static const TestCa ca;
    return ca;
}

bool isIpAddress(const std::string& host) {
    error_code ec;
    asio::ip::make_address(host, ec);
    return !ec;
}

std::string lowerCase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

} // namespace

const std::string& testCaPem() {
    return testCa().pem;
}

TestCertificate issueTestCertificate(const std::vector<std::string>& hosts) {
    static std::atomic<long> serial{100};
    const auto& ca = testCa();
    auto key = newKey();
    auto cert = newCertificate(key.get(), hosts.empty() ? "test" : hosts.front(), ca.cert.get(), serial++);
    std::string names;
    for (const auto& host : hosts) {
        names += (names.empty() ? "" : ",") + std::string(isIpAddress(host) ? "IP:" : "DNS:") + host;
    }
    if (!names.empty()) {
        addExtension(cert.get(), ca.cert.get(), NID_subject_alt_name, names);
    }
    sign(cert.get(), ca.key.get());
    return {toPem([&](BIO* bio) { return PEM_write_bio_X509(bio, cert.get()); }), toPem([&](BIO* bio) {
                return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
            })};
}

// Everything of the server runs on its single I/O thread; the records are
// shared with test threads under mutex_.
class LocalWebSocketServer::Impl {
public:
    using TlsWs = beast::ssl_stream<beast::tcp_stream>;

    struct SessionBase {
        virtual ~SessionBase() = default;
        virtual void push(std::string payload, bool binary) = 0;
        virtual void closeWith(std::uint16_t code, std::string reason) = 0;
        virtual void drop() = 0;
    };

    template <class Stream>
    class Session final : public SessionBase, public std::enable_shared_from_this<Session<Stream>> {
    public:
        template <class... Args>
        Session(Impl& server, Args&&... args) : server_(server), ws_(std::forward<Args>(args)...) {}

        void start() {
            if constexpr (std::is_same_v<Stream, TlsWs>) {
                ws_.next_layer().async_handshake(ssl::stream_base::server,
                                                 [self = this->shared_from_this()](const error_code& ec) {
                                                     if (!ec) {
                                                         self->readRequest();
                                                     }
                                                 });
            } else {
                readRequest();
            }
        }

        void push(std::string payload, bool binary) override {
            outbox_.push_back({binary, std::move(payload)});
            writeNext();
        }

        void closeWith(std::uint16_t code, std::string reason) override {
            closeReason_.emplace(code);
            closeReason_->reason = reason;
            writeNext();
        }

        void drop() override { beast::get_lowest_layer(ws_).close(); }

    private:
        void readRequest() {
            http::async_read(ws_.next_layer(), buffer_, request_,
                             [self = this->shared_from_this()](const error_code& ec, std::size_t) {
                                 if (!ec) {
                                     self->onRequest();
                                 }
                             });
        }

        void onRequest() {
            Upgrade upgrade;
            upgrade.target = std::string(request_.target());
            if constexpr (std::is_same_v<Stream, TlsWs>) {
                const char* name =
                    SSL_get_servername(ws_.next_layer().native_handle(), TLSEXT_NAMETYPE_host_name);
                upgrade.serverName = name != nullptr ? name : "";
            }
            for (const auto& field : request_) {
                upgrade.headers[lowerCase(field.name_string())] = std::string(field.value());
            }
            server_.record(std::move(upgrade));
            const int status = server_.options_.rejectStatus;
            if (status != 0 || !websocket::is_upgrade(request_)) {
                auto response = std::make_shared<http::response<http::string_body>>(
                    static_cast<http::status>(status != 0 ? status : 400), 11);
                response->set(http::field::content_type, "application/json");
                response->body() = server_.options_.rejectBody;
                response->keep_alive(false);
                response->prepare_payload();
                http::async_write(ws_.next_layer(), *response,
                                  [self = this->shared_from_this(), response](const error_code&,
                                                                              std::size_t) { self->drop(); });
                return;
            }
            ws_.async_accept(request_, [self = this->shared_from_this()](const error_code& ec) {
                if (!ec) {
                    self->open_ = true;
                    self->writeNext();
                    if (!self->server_.options_.silent) {
                        self->readNext();
                    }
                }
            });
        }

        void readNext() {
            ws_.async_read(readBuffer_, [self = this->shared_from_this()](const error_code& ec, std::size_t) {
                self->onRead(ec);
            });
        }

        void onRead(const error_code& ec) {
            if (ec == websocket::error::closed) {
                server_.recordClientClose(ws_.reason().code);
                return;
            }
            if (ec) {
                return;
            }
            WebSocketMessage message{ws_.got_binary(), beast::buffers_to_string(readBuffer_.data())};
            readBuffer_.consume(readBuffer_.size());
            server_.record(message);
            push(std::move(message.payload), message.binary);
            readNext();
        }

        void writeNext() {
            if (!open_ || writing_) {
                return;
            }
            if (outbox_.empty()) {
                if (closeReason_) {
                    writing_ = true;
                    ws_.async_close(*closeReason_, [self = this->shared_from_this()](const error_code&) {});
                    closeReason_.reset();
                }
                return;
            }
            writing_ = true;
            ws_.binary(outbox_.front().binary);
            ws_.async_write(asio::buffer(outbox_.front().payload),
                            [self = this->shared_from_this()](const error_code& ec, std::size_t) {
                                self->writing_ = false;
                                self->outbox_.pop_front();
                                if (!ec) {
                                    self->writeNext();
                                }
                            });
        }

        Impl& server_;
        websocket::stream<Stream> ws_;
        beast::flat_buffer buffer_;
        beast::flat_buffer readBuffer_;
        http::request<http::string_body> request_;
        std::deque<WebSocketMessage> outbox_;
        std::optional<websocket::close_reason> closeReason_;
        bool open_ = false;
        bool writing_ = false;
    };

    explicit Impl(Options options) : options_(std::move(options)) {
        if (options_.transport == Transport::tls) {
            const auto certificate = issueTestCertificate(options_.certificateHosts);
            tls_.use_certificate_chain(asio::buffer(certificate.certificatePem));
            tls_.use_private_key(asio::buffer(certificate.privateKeyPem), ssl::context::pem);
        }
        const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
        acceptor_.open(endpoint.protocol());
        acceptor_.set_option(asio::socket_base::reuse_address(true));
        acceptor_.bind(endpoint);
        acceptor_.listen();
        port_ = acceptor_.local_endpoint().port();
        accept();
        thread_ = std::thread([this] { ioc_.run(); });
    }

    ~Impl() {
        asio::post(ioc_, [this] {
            error_code ignored;
            acceptor_.close(ignored);
            forEachSession([](SessionBase& s) { s.drop(); });
            for (auto& socket : stalled_) {
                socket.close(ignored);
            }
            ioc_.stop();
        });
        thread_.join();
    }

    void accept() {
        acceptor_.async_accept([this](const error_code& ec, tcp::socket socket) {
            if (ec) {
                return;
            }
            {
                std::lock_guard lock(mutex_);
                ++accepted_;
            }
            if (options_.stallHandshake) {
                stalled_.push_back(std::move(socket));
            } else if (options_.transport == Transport::tls) {
                start(std::make_shared<Session<TlsWs>>(*this, std::move(socket), tls_));
            } else {
                start(std::make_shared<Session<beast::tcp_stream>>(*this, std::move(socket)));
            }
            accept();
        });
    }

    template <class S> void start(const std::shared_ptr<S>& session) {
        sessions_.push_back(session);
        session->start();
    }

    template <class F> void forEachSession(F&& f) {
        for (const auto& session : sessions_) {
            f(*session);
        }
    }

    template <class F> void onServerThread(F&& f) {
        asio::post(ioc_, [this, f = std::forward<F>(f)]() mutable { forEachSession(f); });
    }

    void record(Upgrade upgrade) {
        std::lock_guard lock(mutex_);
        upgrades_.push_back(std::move(upgrade));
        changed_.notify_all();
    }

    void record(const WebSocketMessage& message) {
        std::lock_guard lock(mutex_);
        received_.push_back(message);
        changed_.notify_all();
    }

    void recordClientClose(std::uint16_t code) {
        std::lock_guard lock(mutex_);
        clientClose_ = code;
        changed_.notify_all();
    }

    const Options options_;
    ssl::context tls_{ssl::context::tls_server};
    asio::io_context ioc_;
    tcp::acceptor acceptor_{ioc_};
    std::uint16_t port_ = 0;
    // Owned here as well, so a session with no operation pending (silent) stays open.
    std::vector<std::shared_ptr<SessionBase>> sessions_;
    std::vector<tcp::socket> stalled_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::size_t accepted_ = 0;
    std::vector<Upgrade> upgrades_;
    std::vector<WebSocketMessage> received_;
    std::optional<std::uint16_t> clientClose_;

    std::thread thread_;
};

LocalWebSocketServer::LocalWebSocketServer(Options options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}
LocalWebSocketServer::LocalWebSocketServer() : LocalWebSocketServer(Options{}) {}
LocalWebSocketServer::~LocalWebSocketServer() = default;

std::uint16_t LocalWebSocketServer::port() const {
    return impl_->port_;
}

std::string LocalWebSocketServer::url(std::string_view target, std::string_view host) const {
    const char* scheme = impl_->options_.transport == Transport::tls ? "wss://" : "ws://";
    return scheme + std::string(host) + ":" + std::to_string(port()) + std::string(target);
}

std::size_t LocalWebSocketServer::acceptedConnections() const {
    std::lock_guard lock(impl_->mutex_);
    return impl_->accepted_;
}

std::vector<LocalWebSocketServer::Upgrade> LocalWebSocketServer::upgrades() const {
    std::lock_guard lock(impl_->mutex_);
    return impl_->upgrades_;
}

std::vector<WebSocketMessage> LocalWebSocketServer::received() const {
    std::lock_guard lock(impl_->mutex_);
    return impl_->received_;
}

bool LocalWebSocketServer::waitForReceived(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mutex_);
    return impl_->changed_.wait_for(lock, timeout, [&] { return impl_->received_.size() >= count; });
}

std::optional<std::uint16_t>
LocalWebSocketServer::waitForClientClose(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mutex_);
    impl_->changed_.wait_for(lock, timeout, [&] { return impl_->clientClose_.has_value(); });
    return impl_->clientClose_;
}

void LocalWebSocketServer::sendToAll(std::string payload, bool binary) {
    impl_->onServerThread(
        [payload = std::move(payload), binary](Impl::SessionBase& s) { s.push(payload, binary); });
}

void LocalWebSocketServer::closeAll(std::uint16_t code, std::string reason) {
    impl_->onServerThread(
        [code, reason = std::move(reason)](Impl::SessionBase& s) { s.closeWith(code, reason); });
}

void LocalWebSocketServer::dropAll() {
    impl_->onServerThread([](Impl::SessionBase& s) { s.drop(); });
}

} // namespace kova::test
