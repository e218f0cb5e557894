#include "menubar/status/StatusWindowController.hpp"

#include "core/Errors.hpp"
#include "core/Strings.hpp"
#include "core/ViewerLogger.hpp"
#include "menubar/customer/CustomerLoginCard.hpp"
#include "menubar/ui/Dialogs.hpp"
#include "menubar/ui/FeedbackButton.hpp"
#include "menubar/ui/QtText.hpp"
#include "menubar/ui/ViewerLocalization.hpp"
#include "menubar/ui/ViewerTheme.hpp"
#include "menubar/ui/ViewerWidgets.hpp"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

namespace kova::menubar {
namespace {

constexpr int contentMaximumWidth = 1120;
constexpr int columnMaximumWidth = 680;

// A white card with the palette's border; its layout is returned through `layout`.
QFrame* makeCard(const char* objectName, QVBoxLayout*& layout) {
    auto* card = new QFrame;
    card->setObjectName(QString::fromLatin1(objectName));
    card->setProperty("card", true);
    layout = new QVBoxLayout(card);
    layout->setContentsMargins(22, 18, 22, 18);
    layout->setSpacing(10);
    return card;
}

// Centres `inner` at most `maximumWidth` wide.
QWidget* centred(QWidget* inner, int maximumWidth) {
    auto* holder = new QWidget;
    auto* row = new QHBoxLayout(holder);
    row->setContentsMargins(0, 0, 0, 0);
    inner->setMaximumWidth(maximumWidth);
    row->addStretch(0);
    row->addWidget(inner, 1);
    row->addStretch(0);
    return holder;
}

const char* const windowStyle = R"(
#statusWindow { background: %1; }
QScrollArea, #tabContentHost { background: transparent; border: none; }
QFrame[card="true"] { background: %2; border: 1px solid %3; border-radius: 14px; }
QFrame[card="true"] QLabel, QFrame[card="true"] QCheckBox { background: transparent; border: none; }
QLineEdit { background: %2; border: 1px solid %3; border-radius: 7px; padding: 4px 8px; color: %4; }
QLineEdit:focus { border: 1px solid %5; }
)";

} // namespace

StatusWindowController::StatusWindowController(ViewerModel& model, StatusWindowHandlers handlers,
                                               Desktop& desktop, std::shared_ptr<platform::SystemFacts> facts,
                                               std::shared_ptr<HelpdeskClient> helpdesk, QWidget* parent)
    : QWidget(parent, Qt::Window), model_(model), handlers_(std::move(handlers)), desktop_(desktop),
      facts_(std::move(facts)), helpdesk_(std::move(helpdesk)) {
    setObjectName(QStringLiteral("statusWindow"));
    setWindowTitle(QStringLiteral("Sekwo Tarnvik"));
    setAccessibleName(QStringLiteral("Sekwo Tarnvik"));
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(QString::fromLatin1(windowStyle)
                      .arg(ViewerTheme::css(ViewerTheme::background), ViewerTheme::css(ViewerTheme::surface),
                           ViewerTheme::css(ViewerTheme::line), ViewerTheme::css(ViewerTheme::text),
                           ViewerTheme::css(ViewerTheme::teal)));
    setMinimumSize(minimumContentSize);
    resize(initialContentSize(visibleScreen()));

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(24, 24, 24, 24);
    root->setSpacing(18);

    auto* column = new QWidget;
    auto* columnLayout = new QVBoxLayout(column);
    columnLayout->setContentsMargins(0, 0, 0, 0);
    columnLayout->setSpacing(18);
    columnLayout->addWidget(buildHeader());
    columnLayout->addWidget(buildTabBar());

    auto* host = new QWidget;
    host->setObjectName(QStringLiteral("tabContentHost"));
    auto* hostLayout = new QVBoxLayout(host);
    hostLayout->setContentsMargins(0, 0, 0, 0);
    hostLayout->setSpacing(0);
    tabContentViews_ = {buildStatusTab(), buildTicketTab(), buildCustomerPanelTab(), buildSettingsTab()};
    for (auto* view : tabContentViews_) {
        hostLayout->addWidget(view);
    }
    hostLayout->addStretch(1);

    tabContentScroll_ = new QScrollArea;
    tabContentScroll_->setObjectName(QStringLiteral("tabContentScroll"));
    tabContentScroll_->setWidgetResizable(true);
    tabContentScroll_->setFrameShape(QFrame::NoFrame);
    tabContentScroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
#ifndef Q_OS_MACOS
    // Qt 6.4's AT-SPI bridge counts a scroll bar among the scroll area's
    // children only while it shows, and crashes on a screen reader's request
    // for the child that vanished when a tab switch hid it: the bar stays.
    tabContentScroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
#endif
    tabContentScroll_->setWidget(host);
    tabContentScroll_->viewport()->setAutoFillBackground(false);
    columnLayout->addWidget(tabContentScroll_, 1);

    root->addWidget(centred(column, contentMaximumWidth), 1);

    apply(true);
    selectTab(StatusTab::status);
    connect(&model_, &ViewerModel::changed, this, [this] { apply(!isEditingField()); });

    connect(qApp, &QGuiApplication::applicationStateChanged, this,
            [this](Qt::ApplicationState applicationState) {
                if (applicationState == Qt::ApplicationActive) {
                    refreshNotificationPermission();
                }
            });

    refreshTimer_ = new QTimer(this);
    refreshTimer_->setObjectName(QStringLiteral("statusRefreshTimer"));
    refreshTimer_->setInterval(2000);
    connect(refreshTimer_, &QTimer::timeout, this, [this] {
        if (isVisible()) {
            refreshFromDisk();
        }
    });
    refreshTimer_->start();

    if (const auto screen = visibleScreen()) {
        move(screen->center() - rect().center());
    }
}

StatusWindowController::~StatusWindowController() = default;

std::optional<QRect> StatusWindowController::visibleScreen() const {
    const QScreen* current = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!current) {
        return std::nullopt;
    }
    return current->availableGeometry();
}

QWidget* StatusWindowController::buildHeader() {
    auto* header = new QWidget;
    header->setObjectName(QStringLiteral("header"));
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(12);
    auto* image = new QLabel;
    image->setObjectName(QStringLiteral("headerImage"));
    image->setFixedSize(44, 44);
    image->setPixmap(headerImage(devicePixelRatioF()));
    row->addWidget(image);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addWidget(makeLabel(QStringLiteral("Centrum Sekwo Tarnvik"), 21, QFont::Bold, ViewerTheme::text,
                               "headerTitle"));
    texts->addWidget(makeLabel(QStringLiteral("Status, zgłoszenia i obsługa urządzenia"), 13, QFont::Medium,
                               ViewerTheme::muted, "headerSubtitle"));
    row->addLayout(texts, 1);
    return header;
}

QWidget* StatusWindowController::buildTabBar() {
    auto* bar = new QWidget;
    bar->setObjectName(QStringLiteral("tabBar"));
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    const std::array<std::pair<const char*, const char*>, 4> tabs{{
        {"Status", "statusTabButton"},
        {"Nowe zgłoszenie", "ticketTabButton"},
        {"Otwórz panel", "customerPanelTabButton"},
        {"Ustawienia", "settingsTabButton"},
    }};
    for (std::size_t i = 0; i < tabs.size(); ++i) {
        auto* button = new FeedbackButton(QString::fromUtf8(tabs[i].first), FeedbackButton::Style::secondary);
        button->setObjectName(QString::fromLatin1(tabs[i].second));
        button->setTitleFont(pixelFont(14, QFont::DemiBold));
        button->setMinimumButtonSize(120, 34);
        connect(button, &QAbstractButton::clicked, this, [this, i] { selectTab(static_cast<StatusTab>(i)); });
        tabButtons_[i] = button;
        row->addWidget(button);
    }
    row->addStretch(1);
    return bar;
}

QLabel* StatusWindowController::addGridRow(QGridLayout* grid, int row, const QString& title,
                                           const char* objectName) {
    auto* titleLabel = makeLabel(title, 13, QFont::DemiBold, ViewerTheme::muted,
                                 (std::string(objectName) + "Title").c_str());
    titleLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    auto* value = makeLabel(QString(), 13, QFont::Normal, ViewerTheme::text, objectName);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    value->setAccessibleName(title);
    grid->addWidget(titleLabel, row, 0);
    grid->addWidget(value, row, 1);
    return value;
}

QWidget* StatusWindowController::buildStatusTab() {
    auto* tab = new QWidget;
    tab->setObjectName(QStringLiteral("statusTab"));
    auto* layout = new QVBoxLayout(tab);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(18);

    QVBoxLayout* cardLayout = nullptr;
    auto* card = makeCard("statusCard", cardLayout);
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(18);
    grid->setVerticalSpacing(10);
    grid->setColumnStretch(1, 1);
    statusValue_ = addGridRow(grid, 0, QStringLiteral("Status"), "statusValue");
    statusValue_->setWordWrap(true);
    statusValue_->setFont(pixelFont(13, QFont::DemiBold));
    // Up to three lines of the daemon's message.
    statusValue_->setMaximumHeight(QFontMetrics(statusValue_->font()).lineSpacing() * 3 + 2);
    supportIdValue_ = addGridRow(grid, 1, QStringLiteral("ID wsparcia"), "supportIdValue");
    supportIdValue_->setFont(pixelFont(13, QFont::DemiBold));
    hostnameValue_ = addGridRow(grid, 2, QStringLiteral("Komputer"), "hostnameValue");
    deviceUidValue_ = addGridRow(grid, 3, QStringLiteral("Device UID"), "deviceUidValue");
    lastInventoryValue_ = addGridRow(grid, 4, QStringLiteral("Ostatni audyt"), "lastInventoryValue");
    lastHeartbeatValue_ = addGridRow(grid, 5, QStringLiteral("Heartbeat"), "lastHeartbeatValue");
    versionValue_ = addGridRow(grid, 6, QStringLiteral("Wersja"), "versionValue");
    logValue_ = addGridRow(grid, 7, QStringLiteral("Log"), "logValue");
    cardLayout->addLayout(grid);
    layout->addWidget(centred(card, columnMaximumWidth));

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(10);
    buttons->addStretch(1);
    const std::array<std::tuple<const char*, const char*, std::function<void()>>, 4> actions{{
        {"Wymuś audyt", "forceAuditButton",
         [this] {
             if (handlers_.audit)
                 handlers_.audit();
         }},
        {"Sprawdź aktualizacje", "checkUpdatesButton",
         [this] {
             if (handlers_.update)
                 handlers_.update();
         }},
        {"Otwórz log", "openLogButton",
         [this] {
             if (handlers_.log)
                 handlers_.log();
         }},
        {"Odśwież", "refreshButton", [this] { refreshFromDisk(); }},
    }};
    for (const auto& [title, name, action] : actions) {
        auto* button = new FeedbackButton(QString::fromUtf8(title), FeedbackButton::Style::secondary);
        button->setObjectName(QString::fromLatin1(name));
        connect(button, &QAbstractButton::clicked, this, action);
        buttons->addWidget(button);
    }
    buttons->addStretch(1);
    layout->addLayout(buttons);
    return tab;
}

QWidget* StatusWindowController::buildTicketTab() {
    auto* tab = new QWidget;
    tab->setObjectName(QStringLiteral("ticketTab"));
    auto* layout = new QVBoxLayout(tab);
    layout->setContentsMargins(0, 0, 0, 0);
    TicketFormView::Callbacks callbacks;
    callbacks.ticketHandler = handlers_.ticket;
    callbacks.openCustomerPortal = [this](const QString& reference) { openCustomerPortal(reference); };
    callbacks.resizeWindow = [this](bool forTicketForm) { resizeWindow(forTicketForm); };
    callbacks.headerImage = [this] { return headerImage(devicePixelRatioF()); };
    ticketForm_ = new TicketFormView(std::move(callbacks));
    layout->addWidget(ticketForm_);
    return tab;
}

QWidget* StatusWindowController::buildCustomerPanelTab() {
    auto* tab = new QWidget;
    tab->setObjectName(QStringLiteral("customerPanelTab"));
    auto* layout = new QVBoxLayout(tab);
    layout->setContentsMargins(0, 0, 0, 0);
    QVBoxLayout* cardLayout = nullptr;
    auto* card = makeCard("customerPanelCard", cardLayout);
    cardLayout->setSpacing(14);
    auto* note = makeLabel(QStringLiteral("Panel klienta otwiera się w domyślnej przeglądarce."), 13,
                           QFont::Normal, ViewerTheme::text, "customerPanelNote");
    note->setWordWrap(true);
    note->setAlignment(Qt::AlignCenter);
    cardLayout->addWidget(note);
    auto* button = new FeedbackButton(QStringLiteral("Otwórz panel klienta"), FeedbackButton::Style::primary);
    button->setObjectName(QStringLiteral("openCustomerPortalButton"));
    connect(button, &QAbstractButton::clicked, this, [this] { openCustomerPortal({}); });
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(button);
    row->addStretch(1);
    cardLayout->addLayout(row);
    layout->addWidget(centred(card, columnMaximumWidth));
    return tab;
}

QWidget* StatusWindowController::buildSettingsTab() {
    auto* tab = new QWidget;
    tab->setObjectName(QStringLiteral("settingsTab"));
    auto* outer = new QVBoxLayout(tab);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* column = new QWidget;
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(16);

    auto cardTitle = [](const char* text, const char* name) {
        return makeLabel(QString::fromUtf8(text), 15, QFont::Bold, ViewerTheme::text, name);
    };
    auto fieldTitle = [](const char* text, const char* name) {
        return makeLabel(QString::fromUtf8(text), 12, QFont::DemiBold, ViewerTheme::muted, name);
    };

    QVBoxLayout* connection = nullptr;
    auto* connectionCard = makeCard("connectionCard", connection);
    connection->addWidget(cardTitle("Ustawienia połączenia", "connectionCardTitle"));
    connection->addWidget(fieldTitle("Serwer", "serverFieldTitle"));
    serverField_ =
        makeField(QStringLiteral("Serwer"), qtText(ViewerSettings::defaultServerBaseUrl()), "serverField");
    connection->addWidget(serverField_);
    connection->addWidget(fieldTitle("Skrót firmy / token", "tokenFieldTitle"));
    tokenField_ = makeField(QStringLiteral("Skrót firmy / token"),
                            QStringLiteral("np. ACME lub viewer_3f9a2c7e51b04d8a"), "tokenField");
    connection->addWidget(tokenField_);
    auto* hint =
        makeLabel(QStringLiteral("Wpisz skrót firmy z panelu lub pełny token. Puste pole przypisze komputer "
                                 "do koszyka Klienci, a błędny token trafi do Błędny token."),
                  12, QFont::Normal, ViewerTheme::muted, "tokenHint");
    hint->setWordWrap(true);
    connection->addWidget(hint);
    layout->addWidget(connectionCard);

    QVBoxLayout* language = nullptr;
    auto* languageCard = makeCard("languageCard", language);
    language->addWidget(cardTitle("Język interfejsu", "languageCardTitle"));
    languagePopup_ = new QComboBox;
    languagePopup_->setObjectName(QStringLiteral("languagePopup"));
    languagePopup_->setAccessibleName(QStringLiteral("Język interfejsu"));
    languagePopup_->setFont(pixelFont(13));
    // As tall as the text fields of the cards around it.
    languagePopup_->setMinimumHeight(32);
    for (const auto& entry : ViewerLocalization::supportedLanguages) {
        languagePopup_->addItem(QString::fromUtf8(entry.displayName), QString::fromLatin1(entry.code));
    }
    languagePopup_->setCurrentIndex(
        std::max(0, languagePopup_->findData(ViewerLocalization::storedLanguage())));
    connect(languagePopup_, &QComboBox::activated, this, [this] { changeLanguage(); });
    language->addWidget(languagePopup_);
    layout->addWidget(languageCard);

    CustomerLoginCard::Dependencies login;
    login.model = &model_;
    login.helpdesk = helpdesk_;
    login.profileChanged = [this](const auto& profile) { applyCustomerProfileToTicketForm(profile); };
    customerLoginCard_ = new CustomerLoginCard(std::move(login), column);
    layout->addWidget(customerLoginCard_);

    QVBoxLayout* notifications = nullptr;
    auto* notificationsCard = makeCard("notificationsCard", notifications);
    notifications->addWidget(cardTitle("Powiadomienia macOS", "notificationsCardTitle"));
    notificationPermissionValue_ = makeLabel(QStringLiteral("Sprawdzam…"), 13, QFont::Normal,
                                             ViewerTheme::text, "notificationPermissionValue");
    notificationPermissionValue_->setAccessibleName(QStringLiteral("Powiadomienia macOS"));
    notificationPermissionValue_->setAccessibleDescription(notificationPermissionValue_->text());
    notificationPermissionValue_->setWordWrap(true);
    notifications->addWidget(notificationPermissionValue_);
    notificationAppToggle_ = new QCheckBox(QStringLiteral("Wyświetlaj powiadomienia aplikacji"));
    notificationAppToggle_->setObjectName(QStringLiteral("notificationAppToggle"));
    notificationAppToggle_->setAccessibleName(notificationAppToggle_->text());
    notificationAppToggle_->setFont(pixelFont(13));
    // The card's transparent background would leave the indicator without a
    // frame (the style draws it from the palette): white like the card instead.
    notificationAppToggle_->setStyleSheet(
        QStringLiteral("QCheckBox { background: %1; }").arg(ViewerTheme::css(ViewerTheme::surface)));
    // toggled, not clicked: screen readers toggle without a click. apply()
    // sets the box with its signals blocked, so a refresh never saves.
    connect(notificationAppToggle_, &QAbstractButton::toggled, this,
            &StatusWindowController::changeAppNotificationPreference);
    notifications->addWidget(notificationAppToggle_);
    auto* permissionButtons = new QHBoxLayout;
    permissionButtons->setSpacing(10);
    auto* requestPermissionButton =
        new FeedbackButton(QStringLiteral("Włącz w macOS"), FeedbackButton::Style::secondary);
    requestPermissionButton->setObjectName(QStringLiteral("requestNotificationPermissionButton"));
    connect(requestPermissionButton, &QAbstractButton::clicked, this,
            &StatusWindowController::requestNotificationPermission);
    permissionButtons->addWidget(requestPermissionButton);
    auto* openSettingsButton =
        new FeedbackButton(QStringLiteral("Otwórz ustawienia macOS"), FeedbackButton::Style::secondary);
    openSettingsButton->setObjectName(QStringLiteral("openNotificationSettingsButton"));
    connect(openSettingsButton, &QAbstractButton::clicked, this,
            &StatusWindowController::openNotificationSettings);
    permissionButtons->addWidget(openSettingsButton);
    permissionButtons->addStretch(1);
    notifications->addLayout(permissionButtons);
    layout->addWidget(notificationsCard);

    auto* saveButton =
        new FeedbackButton(QStringLiteral("Zapisz firmę/token"), FeedbackButton::Style::primary);
    saveButton->setObjectName(QStringLiteral("saveConfigurationButton"));
    connect(saveButton, &QAbstractButton::clicked, this, &StatusWindowController::saveConfiguration);
    auto* saveRow = new QHBoxLayout;
    saveRow->addWidget(saveButton);
    saveRow->addStretch(1);
    layout->addLayout(saveRow);

    auto* note = makeLabel(QStringLiteral("Te pola są techniczne. Zwykły użytkownik nie musi ich zmieniać po "
                                          "poprawnej rejestracji urządzenia."),
                           12, QFont::Normal, ViewerTheme::muted, "settingsNote");
    note->setWordWrap(true);
    layout->addWidget(note);

    outer->addWidget(centred(column, columnMaximumWidth));
    return tab;
}

void StatusWindowController::apply(bool updateConfigurationFields) {
    const ViewerSettings settings = model_.settingsOrDefaults();
    const ViewerState& state = model_.state();
    if (updateConfigurationFields) {
        serverField_->setText(qtText(settings.normalizedServerBaseUrl()));
        tokenField_->setText(qtText(trimmed(settings.viewerToken)));
    }
    const auto values = statusGridValues(settings, state, *facts_);
    const std::array<std::pair<QLabel*, const GridValue*>, 8> bindings{{
        {statusValue_, &values.status},
        {supportIdValue_, &values.supportId},
        {hostnameValue_, &values.hostname},
        {deviceUidValue_, &values.deviceUid},
        {lastInventoryValue_, &values.lastInventory},
        {lastHeartbeatValue_, &values.lastHeartbeat},
        {versionValue_, &values.version},
        {logValue_, &values.log},
    }};
    for (const auto& [label, value] : bindings) {
        if (label->text() != value->text) {
            label->setText(value->text);
        }
        // Screen readers hear the row title as name and the value as description.
        label->setAccessibleDescription(value->text);
        setForeground(label, value->colour);
    }
    {
        const QSignalBlocker fromSettings(notificationAppToggle_);
        notificationAppToggle_->setChecked(settings.notificationsEnabled);
    }
    customerLoginCard_->refreshNotificationLoginState();
}

bool StatusWindowController::isEditingField() const {
    const QWidget* focused = focusWidget();
    return qobject_cast<const QLineEdit*>(focused) || qobject_cast<const QTextEdit*>(focused) ||
           qobject_cast<const QPlainTextEdit*>(focused);
}

void StatusWindowController::refreshFromDisk() {
    model_.reload();
}

void StatusWindowController::selectTab(StatusTab tab) {
    const auto index = static_cast<std::size_t>(tab);
    selectedTab_ = tab;
    for (std::size_t i = 0; i < tabContentViews_.size(); ++i) {
        tabContentViews_[i]->setVisible(i == index);
        tabButtons_[i]->setColours(FeedbackButton::tabColours(i == index));
        tabButtons_[i]->setAccessibleDescription(i == index ? QStringLiteral("wybrana") : QString());
    }
    tabContentScroll_->verticalScrollBar()->setValue(0);
    resizeWindow(tab == StatusTab::ticket);
    if (tab == StatusTab::ticket) {
        // The session as it is now: a login or logout elsewhere shows at once.
        model_.reload();
        std::optional<CustomerProfile> profile;
        if (const auto& session = model_.customerSession()) {
            profile = session->customer;
        }
        ticketForm_->applyCustomerProfile(profile);
    }
    if (tab == StatusTab::settings) {
        refreshNotificationPermission();
    }
}

void StatusWindowController::resizeWindow(bool forTicketForm) {
    if (isFullScreen()) {
        return;
    }
    const auto screen = visibleScreen();
    resize(tabContentSize(forTicketForm, screen));
    if (screen) {
        move(screen->center() - rect().center());
    }
}

void StatusWindowController::focusInitialField(const ViewerSettings& settings) {
    if (initialTab(settings) == StatusTab::settings) {
        selectTab(StatusTab::settings);
        tokenField_->setFocus(Qt::OtherFocusReason);
    } else {
        selectTab(StatusTab::status);
    }
}

void StatusWindowController::openCustomerPortal(const QString& reference) {
    if (const auto url =
            customerPortalUrl(model_.settingsOrDefaults().normalizedServerBaseUrl(), reference)) {
        desktop_.openUrl(*url);
    }
}

void StatusWindowController::toggleFullScreen() {
    if (isFullScreen()) {
        showNormal();
    } else {
        showFullScreen();
    }
}

void StatusWindowController::refreshNotificationPermission() {
    desktop_.queryNotificationPermission([self = QPointer(this)](NotificationPermission permission) {
        if (!self) {
            return;
        }
        const auto text = notificationPermissionLabel(permission, self->notificationAppToggle_->isChecked());
        self->notificationPermissionValue_->setText(text);
        self->notificationPermissionValue_->setAccessibleDescription(text);
    });
}

void StatusWindowController::saveConfiguration() {
    ViewerSettings record = settingsFromFields(serverField_->text(), tokenField_->text());
    try {
        record.validate();
    } catch (const std::exception& error) {
        dialogs::warning(this, QStringLiteral("Nieprawidlowa konfiguracja"), qtText(errorDescription(error)));
        return;
    }
    if (handlers_.save) {
        handlers_.save(record);
    }
}

void StatusWindowController::changeLanguage() {
    const QVariant code = languagePopup_->currentData();
    ViewerLocalization::storeLanguage(code.isValid() ? std::optional<QString>(code.toString())
                                                     : std::nullopt);
    dialogs::warning(this, QStringLiteral("Sekwo Tarnvik"),
                     QStringLiteral("Język został zapisany. Zmiana zostanie zastosowana po ponownym "
                                    "uruchomieniu aplikacji."));
}

} // namespace kova::menubar

namespace kova::menubar {

void StatusWindowController::requestNotificationPermission() {
    desktop_.queryNotificationPermission([self = QPointer(this)](NotificationPermission permission) {
        if (!self) {
            return;
        }
        if (permission == NotificationPermission::notDetermined) {
            self->desktop_.requestNotificationPermission([self](std::optional<QString> error) {
                if (error) {
                    ViewerLogger::error("Could not request macOS notification permission: " +
                                        stdText(*error));
                }
                if (self) {
                    self->refreshNotificationPermission();
                }
            });
            return;
        }
        if (permission == NotificationPermission::denied) {
            self->openNotificationSettings();
        }
        self->refreshNotificationPermission();
    });
}

void StatusWindowController::openNotificationSettings() {
    // Where the desktop has no notification settings of its own there is nothing to open.
    desktop_.openNotificationSettings();
}

void StatusWindowController::changeAppNotificationPreference(bool enabled) {
    ViewerSettings settings = model_.settingsOrDefaults();
    settings.notificationsEnabled = enabled;
    if (handlers_.save) {
        handlers_.save(settings);
    }
    refreshNotificationPermission();
}

void StatusWindowController::applyCustomerProfileToTicketForm(const std::optional<CustomerProfile>& profile) {
    if (ticketForm_) {
        ticketForm_->applyCustomerProfile(profile);
    }
}

} // namespace kova::menubar
