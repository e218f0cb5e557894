#include "menubar/update/UpdateWindowController.hpp"

#include "menubar/ui/ViewerWidgets.hpp"

#include <QFrame>
#include <QGraphicsDropShadowEffect>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

namespace kova::menubar {
namespace {

// The window's own palette, out of 1.
QColor rgb(double r, double g, double b) {
    return QColor::fromRgbF(static_cast<float>(r), static_cast<float>(g), static_cast<float>(b));
}
const QColor background = rgb(0.961, 0.976, 0.98);
const QColor text = rgb(0.09, 0.192, 0.239);
const QColor muted = rgb(0.267, 0.365, 0.408);
const QColor teal = rgb(0.024, 0.373, 0.451);
const QColor line = rgb(0.814, 0.871, 0.89);
const QColor button = rgb(0.929, 0.965, 0.976);

void setValue(QLabel* value, const QString& content) {
    value->setText(content);
    value->setAccessibleDescription(content);
}

} // namespace

UpdateWindowController::UpdateWindowController(std::function<void()> checkHandler, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint),
      checkHandler_(std::move(checkHandler)) {
    setObjectName(QStringLiteral("updateWindow"));
    setWindowTitle(QStringLiteral("Aktualizacje Sekwo Tarnvik"));
    setAccessibleName(windowTitle());
    setFixedSize(560, 360);
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(
        QStringLiteral("#updateWindow { background: %1; }"
                       "#updateCard { background: #ffffff; border: 1px solid %2; border-radius: 16px; }"
                       "#updateCard QLabel { background: transparent; border: none; }"
                       "#statusBox { background: %3; border-radius: 9px; }"
                       "QPushButton { border-radius: 8px; padding: 0 16px; font-size: 13px; }"
                       "#checkNowButton { background: %4; color: #ffffff; border: none; }"
                       "#closeButton { background: %3; color: %5; border: 1px solid %2; }")
            .arg(background.name(), line.name(), button.name(), teal.name(), text.name()));

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(18, 18, 18, 18);
    auto* card = new QFrame;
    card->setObjectName(QStringLiteral("updateCard"));
    auto* shadow = new QGraphicsDropShadowEffect(card);
    shadow->setColor(QColor(0, 0, 0, 20));
    shadow->setBlurRadius(28);
    shadow->setOffset(0, 3);
    card->setGraphicsEffect(shadow);
    outer->addWidget(card);

    auto* stack = new QVBoxLayout(card);
    stack->setContentsMargins(24, 22, 24, 20);
    stack->setSpacing(12);
    stack->addWidget(
        makeLabel(QStringLiteral("Aktualizacje Sekwo Tarnvik"), 22, QFont::DemiBold, text, "updateHeading"));
    auto* subtitle = makeLabel(
        QStringLiteral("Aplikacja sprawdza wersję na serwerze i instaluje paczkę przez usługę systemową."),
        12, QFont::Normal, muted, "updateSubtitle");
    subtitle->setWordWrap(true);
    subtitle->setMaximumHeight(QFontMetrics(subtitle->font()).lineSpacing() * 2 + 2);
    stack->addWidget(subtitle);

    auto* grid = new QGridLayout;
    grid->setVerticalSpacing(8);
    grid->setHorizontalSpacing(16);
    grid->setColumnStretch(1, 1);
    auto addRow = [&](int row, const QString& title, const char* name, const char* titleName) {
        grid->addWidget(makeLabel(title, 11, QFont::Normal, muted, titleName), row, 0);
        // Values are cut at the end of the line, whole for screen readers.
        auto* value = new ElidedLabel;
        value->setObjectName(QString::fromLatin1(name));
        value->setFont(pixelFont(13));
        setForeground(value, text);
        value->setAccessibleName(title);
        value->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        grid->addWidget(value, row, 1);
        return value;
    };
    versionValue_ = addRow(0, QStringLiteral("Wersja zainstalowana"), "versionValue", "versionTitle");
    availableValue_ = addRow(1, QStringLiteral("Wersja dostępna"), "availableValue", "availableTitle");
    updatedAtValue_ = addRow(2, QStringLiteral("Ostatni status"), "updatedAtValue", "updatedAtTitle");
    stack->addLayout(grid);

    progress_ = new QProgressBar;
    progress_->setObjectName(QStringLiteral("progress"));
    progress_->setAccessibleName(QStringLiteral("Postęp aktualizacji"));
    progress_->setRange(0, 0);
    progress_->setTextVisible(false);
    progress_->setFixedHeight(24);
    progress_->hide();
    stack->addWidget(progress_);

    auto* box = new QFrame;
    box->setObjectName(QStringLiteral("statusBox"));
    box->setMinimumHeight(50);
    auto* boxLayout = new QVBoxLayout(box);
    boxLayout->setContentsMargins(14, 9, 14, 9);
    statusValue_ = makeLabel(QString(), 13, QFont::Normal, text, "statusValue");
    statusValue_->setAccessibleName(QStringLiteral("Status aktualizacji"));
    statusValue_->setWordWrap(true);
    statusValue_->setMaximumHeight(QFontMetrics(statusValue_->font()).lineSpacing() * 4 + 2);
    boxLayout->addWidget(statusValue_);
    stack->addWidget(box);
    stack->addStretch(1);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(10);
    buttons->addStretch(1);
    auto* checkNow = new QPushButton(QStringLiteral("Sprawdź teraz"));
    checkNow->setObjectName(QStringLiteral("checkNowButton"));
    auto* close = new QPushButton(QStringLiteral("Zamknij"));
    close->setObjectName(QStringLiteral("closeButton"));
    for (auto* each : {checkNow, close}) {
        each->setAccessibleName(each->text());
        each->setMinimumSize(126, 34);
        each->setCursor(Qt::PointingHandCursor);
        buttons->addWidget(each);
    }
    connect(checkNow, &QPushButton::clicked, this, [this] {
        if (checkHandler_) {
            checkHandler_();
        }
    });
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    stack->addLayout(buttons);

    timer_ = new QTimer(this);
    timer_->setObjectName(QStringLiteral("updatePollTimer"));
    timer_->setInterval(1500);
    connect(timer_, &QTimer::timeout, this, [this] { refresh(ViewerUpdateCoordinator::readStatus()); });

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
    refresh(ViewerUpdateCoordinator::readStatus());
}

void UpdateWindowController::showWindow() {
    show();
    refresh(ViewerUpdateCoordinator::readStatus());
}

void UpdateWindowController::refresh(const std::optional<ViewerUpdateStatus>& status) {
    const auto rows = updateWindowRows(status);
    setValue(statusValue_, rows.status);
    setValue(versionValue_, rows.installedVersion);
    setValue(availableValue_, rows.availableVersion);
    setValue(updatedAtValue_, rows.updatedAt);
    progress_->setVisible(rows.inProgress);
    if (rows.inProgress) {
        startPolling();
    }
}

void UpdateWindowController::beginChecking() {
    const auto status = queuedUpdateStatus(nowSeconds());
    ViewerUpdateCoordinator::writeStatus(status);
    refresh(status);
    startPolling();
}

void UpdateWindowController::startPolling() {
    timer_->start();
}

} // namespace kova::menubar
