#pragma once

#include "menubar/update/UpdateWindowRules.hpp"

#include <QWidget>

#include <functional>
#include <optional>

class QLabel;
class QProgressBar;
class QTimer;

namespace kova::menubar {

// The small window that shows the self-update's status file and lets the
// user ask for a check. Knows nothing of the update itself: it reads the
// status, writes one "queued" status after a request and calls back into the
// application for "Sprawdź teraz". Created once and reused; closing hides it.
// Main thread only.
class UpdateWindowController : public QWidget {
    Q_OBJECT
public:
    explicit UpdateWindowController(std::function<void()> checkHandler, QWidget* parent = nullptr);

    // Shows the window and re-reads the status file.
    void showWindow();
    void refresh(const std::optional<ViewerUpdateStatus>& status);
    void beginChecking();

    QTimer* pollTimer() const { return timer_; }

private:
    void startPolling();

    QLabel* statusValue_ = nullptr;
    QLabel* versionValue_ = nullptr;
    QLabel* availableValue_ = nullptr;
    QLabel* updatedAtValue_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QTimer* timer_ = nullptr;
    std::function<void()> checkHandler_;
};

} // namespace kova::menubar
