#include "menubar/customer/CustomerLoginCard.hpp"

#include "core/ConnectionIssue.hpp"
#include "menubar/customer/CustomerNotificationRules.hpp"
#include "menubar/model/CustomerSessionStore.hpp"
#include "menubar/ui/Background.hpp"
#include "menubar/ui/FeedbackButton.hpp"
#include "menubar/ui/QtText.hpp"
#include "menubar/ui/ViewerTheme.hpp"
#include "menubar/ui/ViewerWidgets.hpp"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace kova::menubar {
namespace {

namespace texts = customerLoginTexts;

// A titled field on its own row widget, so hiding the row hides both.
QWidget* fieldRow(const char* title, QLineEdit* field, const char* rowName, const char* titleName) {
    auto* row = new QWidget;
    row->setObjectName(QString::fromLatin1(rowName));
    auto* layout = new QVBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    layout->addWidget(
        makeLabel(QString::fromUtf8(title), 12, QFont::DemiBold, ViewerTheme::muted, titleName));
    field->setAccessibleName(QString::fromUtf8(title));
    field->setFont(pixelFont(13));
    field->setMinimumHeight(32);
    layout->addWidget(field);
    return row;
}

struct LoginOutcome {
    std::optional<CustomerProfile> customer;
    std::string failure;
};

} // namespace

CustomerLoginCard::CustomerLoginCard(Dependencies dependencies, QWidget* parent)
    : QFrame(parent), dependencies_(std::move(dependencies)) {
    setObjectName(QStringLiteral("customerLoginCard"));
    setProperty("card", true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(22, 18, 22, 18);
    layout->setSpacing(10);
    layout->addWidget(makeLabel(QString::fromUtf8(texts::cardTitle), 15, QFont::Bold, ViewerTheme::text,
                                "customerLoginCardTitle"));

    emailField_ = new QLineEdit;
    emailField_->setObjectName(QStringLiteral("loginEmailField"));
    emailField_->setPlaceholderText(QStringLiteral("anna@firma.pl"));
    emailRow_ = fieldRow(texts::emailLabel, emailField_, "loginEmailRow", "loginEmailFieldTitle");
    layout->addWidget(emailRow_);

    passwordField_ = new QLineEdit;
    passwordField_->setObjectName(QStringLiteral("loginPasswordField"));
    passwordField_->setEchoMode(QLineEdit::Password);
    passwordRow_ =
        fieldRow(texts::passwordLabel, passwordField_, "loginPasswordRow", "loginPasswordFieldTitle");
    layout->addWidget(passwordRow_);

    statusLabel_ = makeLabel(QString(), 13, QFont::Normal, ViewerTheme::muted, "loginStatusLabel");
    statusLabel_->setWordWrap(true);
    statusLabel_->setAccessibleName(QString::fromUtf8(texts::cardTitle));
    layout->addWidget(statusLabel_);

    loginButton_ = new FeedbackButton(QString::fromUtf8(texts::loginButton), FeedbackButton::Style::primary);
    loginButton_->setObjectName(QStringLiteral("loginButton"));
    logoutButton_ =
        new FeedbackButton(QString::fromUtf8(texts::logoutButton), FeedbackButton::Style::secondary);
    logoutButton_->setObjectName(QStringLiteral("logoutButton"));
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(loginButton_);
    buttons->addWidget(logoutButton_);
    buttons->addStretch(1);
    layout->addLayout(buttons);

    connect(loginButton_, &QAbstractButton::clicked, this, &CustomerLoginCard::loginForNotifications);
    connect(passwordField_, &QLineEdit::returnPressed, this, &CustomerLoginCard::loginForNotifications);
    connect(logoutButton_, &QAbstractButton::clicked, this, &CustomerLoginCard::logoutFromNotifications);
    // A poll that met a rejected session clears it and announces that.
    connect(dependencies_.model, &ViewerModel::customerSessionChanged, this,
            &CustomerLoginCard::refreshNotificationLoginState);
    refreshNotificationLoginState();
}

void CustomerLoginCard::showStatus(const QString& text, const QColor& colour) {
    statusLabel_->setText(text);
    statusLabel_->setAccessibleDescription(text);
    setForeground(statusLabel_, colour);
}

void CustomerLoginCard::showSession(const std::optional<std::string>& email) {
    shownSession_ = email;
    const auto display = customerLoginDisplay(email);
    showStatus(display.status, display.colour);
    if (email) {
        emailField_->setText(qtText(*email));
        passwordField_->clear();
    }
    emailRow_->setVisible(display.loginFormVisible);
    passwordRow_->setVisible(display.loginFormVisible);
    loginButton_->setVisible(display.loginFormVisible);
    logoutButton_->setVisible(!display.loginFormVisible);
}

void CustomerLoginCard::refreshNotificationLoginState() {
    if (loginInFlight_) {
        return;
    }
    std::optional<std::string> email;
    if (const auto& session = dependencies_.model->customerSession()) {
        email = session->customer.email;
    }
    if (shownSession_ && *shownSession_ == email) {
        return;
    }
    showSession(email);
}

void CustomerLoginCard::loginForNotifications() {
    if (loginInFlight_) {
        return;
    }
    const auto email = loginEmail(stdText(emailField_->text()));
    if (!email) {
        showStatus(QString::fromUtf8(texts::invalidEmail), ViewerTheme::systemRed);
        return;
    }
    const std::string password = stdText(passwordField_->text());
    if (password.empty()) {
        showStatus(QString::fromUtf8(texts::missingPassword), ViewerTheme::systemRed);
        return;
    }
    loginInFlight_ = true;
    loginButton_->setEnabled(false);
    showStatus(QString::fromUtf8(texts::loggingIn), ViewerTheme::muted);

    const ViewerSettings settings = dependencies_.model->settingsOrDefaults();
    const auto finished = [this](const LoginOutcome& outcome) {
        loginInFlight_ = false;
        loginButton_->setEnabled(true);
        if (!outcome.customer) {
            showStatus(qtText(outcome.failure), ViewerTheme::systemRed);
            return;
        }
        passwordField_->clear();
        if (dependencies_.profileChanged) {
            dependencies_.profileChanged(outcome.customer);
        }
        shownSession_.reset();
        dependencies_.model->customerSessionStored();
        refreshNotificationLoginState();
    };
    runInBackground(
        this,
        [helpdesk = dependencies_.helpdesk, settings, email = *email, password] {
            LoginOutcome outcome;
            try {
                const auto response = helpdesk->loginCustomer(settings, email, password);
                CustomerSessionState state;
                state.accessToken = response.accessToken;
                state.expiresAt = response.expiresAt;
                state.customer = response.customer;
                state.lastNotificationMessageId = 0;
                CustomerSessionStore::save(state);
                outcome.customer = response.customer;
            } catch (const std::exception& error) {
                // A server may echo what it was sent; the password stays out of the label.
                outcome.failure = withoutSecrets(viewerErrorMessage(error, texts::loginAction), {password});
            }
            return outcome;
        },
        finished);
}

void CustomerLoginCard::logoutFromNotifications() {
    CustomerSessionStore::clear();
    dependencies_.model->customerSessionStored();
    if (dependencies_.profileChanged) {
        dependencies_.profileChanged(std::nullopt);
    }
    refreshNotificationLoginState();
}

} // namespace kova::menubar
