#include "core/Errors.hpp"
#include "core/Stop.hpp"
#include "core/ViewerLogger.hpp"
#include "net/HttpTransport.hpp"
#include "net/NetworkRouting.hpp"

#include <cerrno>
#include <curl/curl.h>
#include <map>
#include <mutex>

namespace kova {
namespace {

struct CurlGlobal {
    CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
    ~CurlGlobal() { curl_global_cleanup(); }
};

void ensureCurlGlobal() {
    static CurlGlobal global;
}

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

struct Transfer {
    const std::string* upload = nullptr;
    std::string body;
    std::size_t maxBodyBytes = 0;
    bool bodyTooLarge = false;
    StopToken stop;
};

size_t onWrite(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (n > transfer->maxBodyBytes - transfer->body.size()) {
        // Returning less than given makes curl abort the transfer.
        transfer->bodyTooLarge = true;
        return 0;
    }
    transfer->body.append(data, n);
    return n;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Transfer*>(user)->stop.stop_requested() ? 1 : 0;
}

NetworkError mapCurlError(CURLcode code, long osErrno, const std::string& text) {
    switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
        return {NetworkErrorCode::timedOut, text};
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return {NetworkErrorCode::cannotFindHost, text};
    case CURLE_COULDNT_CONNECT:
        if (osErrno == ENETUNREACH || osErrno == ENETDOWN) {
            return {NetworkErrorCode::notConnectedToInternet, text};
        }
        return {NetworkErrorCode::cannotConnectToHost, text};
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return {NetworkErrorCode::networkConnectionLost, text};
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
        return {NetworkErrorCode::serverCertificateUntrusted, text};
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
        return {NetworkErrorCode::secureConnectionFailed, text};
    case CURLE_ABORTED_BY_CALLBACK:
        return {NetworkErrorCode::cancelled, text};
    default:
        return {NetworkErrorCode::other, text};
    }
}

std::string curlText(CURLcode code, const char* detail) {
    return detail && *detail ? detail : curl_easy_strerror(code);
}

// A failure of a request that went to a proxy names the proxy, so a log line
// tells a refusing or missing proxy from a missing server. curl's text never
// carries the credentials, but a password echoed back in it would be cut.
NetworkError proxiedFailure(CURLcode code, long osErrno, long connectStatus, std::string text,
                            const platform::Proxy& proxy) {
    if (proxy.password && !proxy.password->empty()) {
        for (auto at = text.find(*proxy.password); at != std::string::npos;
             at = text.find(*proxy.password, at + 3)) {
            text.replace(at, proxy.password->size(), "***");
        }
    }
    const auto name = "the proxy " + proxy.endpoint();
    // A refusal is no transient failure: the proxy would say the same again.
    if (connectStatus != 0 && (connectStatus < 200 || connectStatus > 299)) {
        return {NetworkErrorCode::other,
                name + " refused the tunnel with HTTP " + std::to_string(connectStatus)};
    }
    if (code == CURLE_COULDNT_RESOLVE_PROXY) {
        return {NetworkErrorCode::cannotFindHost, name + " cannot be found: " + text};
    }
    if (code == CURLE_COULDNT_CONNECT && connectStatus == 0) {
        const auto mapped = mapCurlError(code, osErrno, text);
        return {mapped.code(), name + " cannot be reached: " + text};
    }
    return mapCurlError(code, osErrno, "through " + name + ": " + text);
}

class CurlTransport final : public HttpTransport {
public:
    explicit CurlTransport(CurlTransportOptions options)
        : options_(options), route_(routing::orSystem(options_.route)) {
        ensureCurlGlobal();
    }

    std::optional<platform::Proxy> proxyFor(const std::string& url) override {
        return routing::proxyFor(*route_, url);
    }

    HttpResponse send(const HttpRequest& request, StopToken stop) override {
        // Asked afresh for every request: proxies change when a laptop moves.
        const auto proxy = routing::proxyFor(*route_, request.url);
        const auto anchors = route_->trustAnchorsPem();
        noteRoute(request.url, proxy);

        EasyHandle handle = acquire();
        CURL* curl = handle.get();
        Transfer transfer;
        transfer.stop = stop;
        transfer.maxBodyBytes = options_.maxBodyBytes;
        char errorBuffer[CURL_ERROR_SIZE] = {};

        curl_slist* list = nullptr;
        for (const auto& [name, value] : request.headers) {
            const auto line = name + ": " + value;
            curl_slist* grown = curl_slist_append(list, line.c_str());
            if (grown == nullptr) {
                curl_slist_free_all(list);
                throw NetworkError(NetworkErrorCode::other, "out of memory");
            }
            list = grown;
        }
        // Without this, curl would add "Expect: 100-continue" to larger bodies.
        if (curl_slist* grown = curl_slist_append(list, "Expect:")) {
            list = grown;
        }
        const HeaderList headers(list);

        curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onWrite);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https,http");
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
        // Verification is always on, against the route's anchors or, without
        // any, the system store.
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_blob anchorBlob{};
        if (anchors) {
            anchorBlob = {const_cast<char*>(anchors->data()), anchors->size(), CURL_BLOB_COPY};
            curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &anchorBlob);
        } else {
            curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, nullptr);
        }
        // The route decided, bypass list included: an empty proxy keeps curl
        // from guessing one from the environment, an empty no-proxy list from
        // applying the environment's a second time.
        const auto proxyUrl = proxy ? proxy->url() : std::string();
        curl_easy_setopt(curl, CURLOPT_PROXY, proxyUrl.c_str());
        curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
        curl_easy_setopt(curl, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
        curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, proxy && proxy->user ? proxy->user->c_str() : nullptr);
        curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD,
                         proxy && proxy->password ? proxy->password->c_str() : nullptr);
        // The platform's two time-outs: "request" is the longest wait without
        // any progress (connect included), "resource" bounds the whole request.
        // curl aborts when fewer than LOW_SPEED_LIMIT bytes/s flow for
        // LOW_SPEED_TIME seconds, which is "no progress for 12 s".
        const long idle = static_cast<long>(options_.idleTimeout.count());
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, idle);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, idle);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(options_.totalTimeout.count()));
        // Refuses an announced oversized body before any of it is read.
        curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options_.maxBodyBytes));

        if (request.method == "GET") {
            curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
        } else {
            curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        }
        if (request.body) {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body->data());
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(request.body->size()));
        }

        const CURLcode code = curl_easy_perform(curl);
        long osErrno = 0;
        curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &osErrno);
        long connectStatus = 0;
        curl_easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &connectStatus);
        HttpResponse response;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
        // The handle goes back to the pool with its connection still open,
        // but without pointers into this call's stack.
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, nullptr);
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, nullptr);
        curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, nullptr);
        curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, nullptr);
        if (code != CURLE_OK) {
            release(std::move(handle));
            if (transfer.bodyTooLarge || code == CURLE_FILESIZE_EXCEEDED) {
                throw ViewerError::invalidResponse("The server's answer is larger than " +
                                                   std::to_string(options_.maxBodyBytes >> 20) +
                                                   " MiB and was refused.");
            }
            if (proxy) {
                throw proxiedFailure(code, osErrno, connectStatus, curlText(code, errorBuffer), *proxy);
            }
            throw mapCurlError(code, osErrno, curlText(code, errorBuffer));
        }
        release(std::move(handle));
        response.body = std::move(transfer.body);
        return response;
    }

private:
    // One line when the program first reaches a server and whenever the way
    // there changes; the memory is the process's, since callers such as the
    // menu bar's pollers build a client (and a transport) per request.
    static void noteRoute(const std::string& url, const std::optional<platform::Proxy>& proxy) {
        static std::mutex mutex;
        static std::map<std::string, std::string> lastRoutes; // destination -> its last route line
        auto line = routing::describe(url, proxy);
        {
            std::lock_guard lock(mutex);
            auto& last = lastRoutes[routing::destination(url)];
            if (last == line) {
                return;
            }
            last = line;
            // A program talks to one server or two; a runaway map would be a bug.
            if (lastRoutes.size() > 32) {
                lastRoutes.clear();
            }
        }
        ViewerLogger::info(line);
    }

    EasyHandle acquire() {
        {
            std::lock_guard lock(mutex_);
            if (!idle_.empty()) {
                EasyHandle handle = std::move(idle_.back());
                idle_.pop_back();
                return handle;
            }
        }
        EasyHandle handle(curl_easy_init());
        if (!handle) {
            throw NetworkError(NetworkErrorCode::other, "curl_easy_init failed");
        }
        return handle;
    }

    void release(EasyHandle handle) {
        std::lock_guard lock(mutex_);
        if (idle_.size() < 8) {
            idle_.push_back(std::move(handle));
        }
    }

    CurlTransportOptions options_;
    std::shared_ptr<const platform::NetworkRoute> route_;
    std::mutex mutex_;
    std::vector<EasyHandle> idle_;
};

} // namespace

std::shared_ptr<HttpTransport> makeCurlTransport(CurlTransportOptions options) {
    return std::make_shared<CurlTransport>(options);
}

} // namespace kova
