#pragma once

#include "menubar/platform/Desktop.hpp"

#include <QList>
#include <QObject>
#include <QThreadPool>
#include <QUrl>

#include <memory>

namespace kova {
class ProcessRunner;
}

namespace kova::menubar {

// Opens the links of the RustDesk scheme handed to the application: each
// starts RustDesk, which may run for a whole session and is waited for, on a
// thread of this opener's own pool, so it never holds one the other work
// needs; a bounded number wait at once. Called on the main thread; failures
// come back there through failed().
class RustDeskLinkOpener : public QObject {
    Q_OBJECT
public:
    RustDeskLinkOpener(Desktop& desktop, std::shared_ptr<ProcessRunner> runner, QObject* parent = nullptr);

    // Links of other schemes are passed over.
    void open(const QList<QUrl>& urls);
    // A RustDesk started from a link is still running.
    bool isWaiting() { return launches_.activeThreadCount() > 0; }
    void waitForDone() { launches_.waitForDone(); }

Q_SIGNALS:
    void failed(const QString& message);

private:
    static constexpr int maximumLaunches = 16;
    Desktop& desktop_;
    std::shared_ptr<ProcessRunner> runner_;
    QThreadPool launches_;
    int launchesInFlight_ = 0;
};

} // namespace kova::menubar
