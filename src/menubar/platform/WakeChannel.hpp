#pragma once

#include <QObject>
#include <QUrl>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

class QLocalServer;
class QLocalSocket;

// The wake channel between two instances of one user: a local socket in a
// folder only that user can write. A later instance sends one request line,
// "show" or "open" with a link, and counts it as delivered only when the
// running instance answers "ok", so the sender learns whether anyone took it.
// Both ends check that the other is a process of the same user: whoever
// listened first in a folder another user could write would otherwise
// receive the links, keys included.
namespace kova::menubar::wake {

// The socket's name in its folder, and the macOS distributed notification's.
inline constexpr std::string_view showRunningApplicationName = "pl.tarnvik.sekwo.show-running-application";

// The user id of the process at the other end of a connected local socket.
std::optional<uid_t> peerUid(int socketFd);

std::string showRequest();
// The request handing `url` over; none for a link that cannot travel in one
// bounded line.
std::optional<std::string> openRequest(const QUrl& url);

// Sends one request to the instance listening at `socketPath` and waits up to
// `timeout` for its answer. True only when it answered "ok"; a listener of
// another user is sent nothing. Creates no Qt
// object, so it is safe before the application exists.
bool sendRequest(const std::string& socketPath, std::string_view request, std::chrono::milliseconds timeout);

// The running instance's side. Answers a well-formed request at once, then
// emits its signal from the event loop, so a slot that takes long never
// keeps the other instance waiting. Main thread only.
class Listener : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Listens at `socketPath`, taking the place of a socket nobody answers
    // on; false when a live instance listens there or listening fails.
    // Connections of other users are refused.
    bool listen(const std::string& socketPath);

Q_SIGNALS:
    void showRequested();
    void openUrlRequested(const QUrl& url);

private:
    void accept();
    void read(QLocalSocket* socket);

    QLocalServer* server_ = nullptr;
};

} // namespace kova::menubar::wake
