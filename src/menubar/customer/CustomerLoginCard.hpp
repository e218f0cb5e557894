#pragma once

#include "api/CustomerRecords.hpp"
#include "menubar/model/HelpdeskClient.hpp"
#include "menubar/model/ViewerModel.hpp"

#include <QFrame>

#include <functional>
#include <memory>
#include <optional>
#include <string>

class QLabel;
class QLineEdit;

namespace kova::menubar {

class FeedbackButton;

// The settings tab's customer-panel login: logs in off the main thread, keeps
// the session through CustomerSessionStore, tells the model of every change
// and shows the model's session. Main thread only.
class CustomerLoginCard : public QFrame {
    Q_OBJECT
public:
    struct Dependencies {
        // Outlives the card.
        ViewerModel* model = nullptr;
        // Called after a login with the customer's profile, after a logout with none.
        std::function<void(const std::optional<CustomerProfile>&)> profileChanged;
        // Where the login goes; called on a worker thread.
        std::shared_ptr<HelpdeskClient> helpdesk;
    };

    explicit CustomerLoginCard(Dependencies dependencies, QWidget* parent = nullptr);

    void loginForNotifications();
    void logoutFromNotifications();
    // Shows the stored session (or its absence); keeps a message of the last
    // login attempt until the session itself changes.
    void refreshNotificationLoginState();

private:
    void showStatus(const QString& text, const QColor& colour);
    void showSession(const std::optional<std::string>& email);

    Dependencies dependencies_;
    QLabel* statusLabel_ = nullptr;
    QWidget* emailRow_ = nullptr;
    QWidget* passwordRow_ = nullptr;
    QLineEdit* emailField_ = nullptr;
    QLineEdit* passwordField_ = nullptr;
    FeedbackButton* loginButton_ = nullptr;
    FeedbackButton* logoutButton_ = nullptr;
    bool loginInFlight_ = false;
    // The e-mail of the session on display; empty optional when logged out.
    std::optional<std::optional<std::string>> shownSession_;
};

} // namespace kova::menubar
