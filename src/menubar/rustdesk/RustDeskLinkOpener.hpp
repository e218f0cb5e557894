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

// Opens RustDesk links on the main thread. RustDesk may run a whole session and
// is waited for on this opener's own bounded pool, so it never holds a thread
// other work needs; failures come back on the main thread through failed().
class RustDeskLinkOpener : public QObject {
    Q_OBJECT
public:
    RustDeskLinkOpener(Desktop& desktop, std::shared_ptr<ProcessRunner> runner, QObject* parent = nullptr);
    // Links of other schemes are passed over.
    void open(const QList<QUrl>& urls);
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
