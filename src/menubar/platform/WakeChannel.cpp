#include "menubar/platform/WakeChannel.hpp"

#include "core/Files.hpp"
#include "core/ViewerLogger.hpp"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kova::menubar::wake {
namespace {

constexpr std::string_view showLine = "show\n";
constexpr std::string_view openPrefix = "open ";
constexpr std::string_view acknowledgement = "ok\n";
// A request is one line; anything longer is not ours.
constexpr qint64 maximumRequestBytes = 8192;
// A connection that sends no complete request is dropped after this.
constexpr int requestTimeoutMs = 2000;

#ifdef MSG_NOSIGNAL
constexpr int sendFlags = MSG_NOSIGNAL;
#else
constexpr int sendFlags = 0; // SO_NOSIGPIPE on the socket instead
#endif

bool connectTo(const std::string& path, const files::UniqueFd& fd) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof(address.sun_path)) {
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    int rc;
    do {
        rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

// A stream socket that neither leaks into children nor raises SIGPIPE.
int openSocket() {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd >= 0) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#ifdef SO_NOSIGPIPE
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof(on));
#endif
    }
    return fd;
}

void drop(QLocalSocket* socket) {
    socket->abort();
    socket->deleteLater();
}

bool answers(const std::string& path) {
    const files::UniqueFd fd(openSocket());
    return fd.get() >= 0 && connectTo(path, fd);
}

} // namespace

std::optional<uid_t> peerUid(int socketFd) {
#ifdef __APPLE__
    uid_t uid = 0;
    gid_t gid = 0;
    if (::getpeereid(socketFd, &uid, &gid) != 0) {
        return std::nullopt;
    }
    return uid;
#else
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
        length != sizeof credentials) {
        return std::nullopt;
    }
    return credentials.uid;
#endif
}

std::string showRequest() {
    return std::string(showLine);
}

std::optional<std::string> openRequest(const QUrl& url) {
    const QByteArray encoded = url.toEncoded();
    if (!url.isValid() || encoded.isEmpty() || encoded.contains('\n') ||
        encoded.size() + static_cast<qint64>(openPrefix.size()) + 1 > maximumRequestBytes) {
        return std::nullopt;
    }
    return std::string(openPrefix) + encoded.toStdString() + '\n';
}

bool sendRequest(const std::string& socketPath, std::string_view request, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const files::UniqueFd fd(openSocket());
    if (fd.get() < 0 || !connectTo(socketPath, fd)) {
        return false;
    }
    if (peerUid(fd.get()) != ::getuid()) {
        ViewerLogger::warn("Wake channel " + socketPath + " is held by another user; nothing sent");
        return false;
    }
    std::size_t sent = 0;
    while (sent < request.size()) {
        const auto n = ::send(fd.get(), request.data() + sent, request.size() - sent, sendFlags);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    std::string answer;
    while (answer.size() < acknowledgement.size()) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd wait{fd.get(), POLLIN, 0};
        const int ready = ::poll(&wait, 1, static_cast<int>(std::min<long long>(left.count(), 60'000)));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        char buffer[8];
        const auto n = ::recv(fd.get(), buffer, acknowledgement.size() - answer.size(), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false; // closed without an answer: the request was refused
        }
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    return answer == acknowledgement;
}

bool Listener::listen(const std::string& socketPath) {
    if (server_) {
        return true;
    }
    // QLocalServer would silently take the address over from a live
    // instance, so only a socket nobody answers on is replaced.
    if (answers(socketPath)) {
        ViewerLogger::warn("Wake channel is held by another instance; not listening");
        return false;
    }
    const auto name = QString::fromStdString(socketPath);
    QLocalServer::removeServer(name);
    auto* server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(name)) {
        ViewerLogger::warn("Wake channel could not be opened: " + server->errorString().toStdString());
        delete server;
        return false;
    }
    server_ = server;
    connect(server_, &QLocalServer::newConnection, this, &Listener::accept);
    return true;
}

void Listener::accept() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        // Only this user's own later instances may ask anything of this one.
        if (const auto peer = peerUid(static_cast<int>(socket->socketDescriptor())); peer != ::getuid()) {
            ViewerLogger::warn("Wake channel: connection of user " +
                               (peer ? std::to_string(*peer) : std::string("unknown")) + " refused");
            drop(socket);
            continue;
        }
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { read(socket); });
        QTimer::singleShot(requestTimeoutMs, socket, [socket] { drop(socket); });
        read(socket);
    }
}

void Listener::read(QLocalSocket* socket) {
    const QByteArray received = socket->peek(maximumRequestBytes + 1);
    const auto end = received.indexOf('\n');
    if (end < 0) {
        if (received.size() > maximumRequestBytes) {
            drop(socket);
        }
        return; // the rest of the line is still on its way
    }
    const QByteArray line = received.left(end);
    const QByteArray open = QByteArrayLiteral("open ");
    const bool show = line == QByteArrayLiteral("show");
    QUrl url;
    if (!show && line.startsWith(open)) {
        url = QUrl(QString::fromUtf8(line.mid(open.size())), QUrl::StrictMode);
    }
    disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
    if (!show && !url.isValid()) {
        drop(socket); // no answer: the sender learns the request was not taken
        return;
    }
    socket->readAll();
    socket->write(acknowledgement.data(), static_cast<qint64>(acknowledgement.size()));
    socket->flush();
    socket->disconnectFromServer();
    QMetaObject::invokeMethod(
        this,
        [this, show, url] {
            if (show) {
                Q_EMIT showRequested();
            } else {
                Q_EMIT openUrlRequested(url);
            }
        },
        Qt::QueuedConnection);
}

} // namespace kova::menubar::wake
