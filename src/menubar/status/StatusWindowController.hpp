#pragma once

#include "api/CustomerRecords.hpp"
#include "config/ViewerSettings.hpp"
#include "config/ViewerState.hpp"
#include "menubar/model/HelpdeskClient.hpp"
#include "menubar/model/ViewerModel.hpp"
#include "menubar/platform/Desktop.hpp"
#include "menubar/status/StatusWindowRules.hpp"
#include "menubar/ticket/TicketFormView.hpp"
#include "platform/SystemFacts.hpp"

#include <QWidget>

#include <array>
#include <functional>
#include <memory>

class QCheckBox;
class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QScrollArea;
class QTimer;

namespace kova::menubar {

class CustomerLoginCard;
class FeedbackButton;

// The callbacks into the application delegate.
struct StatusWindowHandlers {
    std::function<void(const ViewerSettings&)> save;
    std::function<void()> audit;
    std::function<void()> log;
    std::function<void()> update;
    TicketHandler ticket;
};

// The main window: header and four tabs. Shows the model, has it reloaded every
// 2 seconds while visible and follows its changes; created once by the
// delegate, closing only hides it. Main thread only.
class StatusWindowController : public QWidget {
    Q_OBJECT
public:
    StatusWindowController(ViewerModel& model, StatusWindowHandlers handlers, Desktop& desktop,
                           std::shared_ptr<platform::SystemFacts> facts,
                           std::shared_ptr<HelpdeskClient> helpdesk, QWidget* parent = nullptr);
    ~StatusWindowController() override;

    // Shows the model; the server and token fields only when asked to.
    void apply(bool updateConfigurationFields);
    void refreshFromDisk();
    void selectTab(StatusTab tab);
    StatusTab selectedTab() const { return selectedTab_; }
    void focusInitialField(const ViewerSettings& settings);
    void resizeWindow(bool forTicketForm);
    void openCustomerPortal(const QString& reference);
    void toggleFullScreen();
    void refreshNotificationPermission();
    // The save button: builds the record from the two fields, validates it
    // (an alert when it is not valid) and hands it to the save handler.
    void saveConfiguration();
    // The language pop-up: stores the chosen code and says it applies after a restart.
    void changeLanguage();
    void requestNotificationPermission();
    void openNotificationSettings();
    void changeAppNotificationPreference(bool enabled);
    // Fills (with a profile) or unlocks (without one) the ticket form's name
    // and e-mail after a customer-panel login or logout.
    void applyCustomerProfileToTicketForm(const std::optional<CustomerProfile>& profile);

    ViewerSettings currentSettings() const { return model_.settingsOrDefaults(); }
    QTimer* refreshTimer() const { return refreshTimer_; }
    TicketFormView* ticketForm() const { return ticketForm_; }

private:
    QWidget* buildHeader();
    QWidget* buildTabBar();
    QWidget* buildStatusTab();
    QWidget* buildTicketTab();
    QWidget* buildCustomerPanelTab();
    QWidget* buildSettingsTab();
    QLabel* addGridRow(QGridLayout* grid, int row, const QString& title, const char* objectName);
    bool isEditingField() const;
    std::optional<QRect> visibleScreen() const;

    ViewerModel& model_;
    StatusWindowHandlers handlers_;
    Desktop& desktop_;
    std::shared_ptr<platform::SystemFacts> facts_;
    std::shared_ptr<HelpdeskClient> helpdesk_;
    StatusTab selectedTab_ = StatusTab::status;

    std::array<FeedbackButton*, 4> tabButtons_{};
    std::array<QWidget*, 4> tabContentViews_{};
    QScrollArea* tabContentScroll_ = nullptr;
    QTimer* refreshTimer_ = nullptr;

    QLabel* statusValue_ = nullptr;
    QLabel* supportIdValue_ = nullptr;
    QLabel* hostnameValue_ = nullptr;
    QLabel* deviceUidValue_ = nullptr;
    QLabel* lastInventoryValue_ = nullptr;
    QLabel* lastHeartbeatValue_ = nullptr;
    QLabel* versionValue_ = nullptr;
    QLabel* logValue_ = nullptr;

    QLineEdit* serverField_ = nullptr;
    QLineEdit* tokenField_ = nullptr;
    QComboBox* languagePopup_ = nullptr;
    QLabel* notificationPermissionValue_ = nullptr;
    QCheckBox* notificationAppToggle_ = nullptr;
    TicketFormView* ticketForm_ = nullptr;
    CustomerLoginCard* customerLoginCard_ = nullptr;
};

} // namespace kova::menubar
