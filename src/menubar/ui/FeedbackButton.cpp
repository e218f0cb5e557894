#include "menubar/ui/FeedbackButton.hpp"

#include "menubar/ui/ViewerTheme.hpp"

#include <QEnterEvent>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QGraphicsDropShadowEffect>
#include <QPainter>
#include <QPainterPath>

namespace kova::menubar {
namespace {

constexpr qreal cornerRadius = 8.0;
constexpr qreal borderWidth = 1.1;

} // namespace

FeedbackButton::FeedbackButton(const QString& title, Style style, QWidget* parent)
    : QAbstractButton(parent), colours_(colours(style)) {
    setText(title);
    setAccessibleName(title);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_Hover);
    titleFont_ = font();
    titleFont_.setPixelSize(13);
    titleFont_.setWeight(style == Style::primary ? QFont::Bold : QFont::DemiBold);
    if (style == Style::primary) {
        minimumWidth_ = 150;
        minimumHeight_ = 36;
    }
    shadow_ = new QGraphicsDropShadowEffect(this);
    QColor shade = ViewerTheme::text;
    shade.setAlphaF(0.24f);
    shadow_->setColor(shade);
    shadow_->setBlurRadius(10);
    shadow_->setOffset(0, 2);
    shadow_->setEnabled(false);
    setGraphicsEffect(shadow_);
}

FeedbackButton::Colours FeedbackButton::colours(Style style) {
    if (style == Style::primary) {
        return {Qt::white,           Qt::white,         ViewerTheme::tealDark, ViewerTheme::teal,
                ViewerTheme::orange, ViewerTheme::teal, ViewerTheme::orange};
    }
    return {ViewerTheme::text,     ViewerTheme::text, ViewerTheme::field, ViewerTheme::tealSoft,
            QColor(199, 213, 219), ViewerTheme::line, ViewerTheme::orange};
}

FeedbackButton::Colours FeedbackButton::tabColours(bool selected) {
    if (selected) {
        return {ViewerTheme::tealDark, ViewerTheme::tealDark, ViewerTheme::tealSoft, ViewerTheme::tealSoft,
                QColor(217, 240, 244), ViewerTheme::teal,     ViewerTheme::teal};
    }
    return {ViewerTheme::muted,    ViewerTheme::muted, ViewerTheme::field, ViewerTheme::tealSoft,
            QColor(238, 246, 248), ViewerTheme::line,  ViewerTheme::line};
}

void FeedbackButton::setColours(const Colours& colours) {
    colours_ = colours;
    update();
}

void FeedbackButton::setTitleFont(const QFont& font) {
    titleFont_ = font;
    updateGeometry();
    update();
}

void FeedbackButton::setMinimumButtonSize(int width, int height) {
    minimumWidth_ = width;
    minimumHeight_ = height;
    updateGeometry();
}

QColor FeedbackButton::backgroundColour() const {
    if (isDown()) {
        return colours_.pressedBackground;
    }
    return hovering_ ? colours_.hoverBackground : colours_.normalBackground;
}

QSize FeedbackButton::sizeHint() const {
    const QFontMetrics metrics(titleFont_);
    return {std::max(minimumWidth_, metrics.horizontalAdvance(text()) + 32),
            std::max(minimumHeight_, metrics.height() + 12)};
}

void FeedbackButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF frame =
        QRectF(rect()).adjusted(borderWidth / 2, borderWidth / 2, -borderWidth / 2, -borderWidth / 2);
    QPainterPath path;
    path.addRoundedRect(frame, cornerRadius, cornerRadius);
    painter.fillPath(path, backgroundColour());
    painter.setPen(QPen(isDown() ? colours_.pressedBorder : colours_.normalBorder, borderWidth));
    painter.drawPath(path);
    painter.setPen(isDown() ? colours_.pressedTitle : colours_.normalTitle);
    painter.setFont(titleFont_);
    painter.drawText(rect(), Qt::AlignCenter, text());
    if (hasFocus() && keyboardFocus_) {
        QPen focusPen(ViewerTheme::teal, 1.5);
        painter.setPen(focusPen);
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(frame.adjusted(2, 2, -2, -2), cornerRadius - 2, cornerRadius - 2);
    }
}

void FeedbackButton::enterEvent(QEnterEvent* event) {
    setHovering(true);
    QAbstractButton::enterEvent(event);
}

void FeedbackButton::leaveEvent(QEvent* event) {
    setHovering(false);
    QAbstractButton::leaveEvent(event);
}

void FeedbackButton::focusInEvent(QFocusEvent* event) {
    keyboardFocus_ = event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason ||
                     event->reason() == Qt::ShortcutFocusReason;
    QAbstractButton::focusInEvent(event);
}

void FeedbackButton::focusOutEvent(QFocusEvent* event) {
    keyboardFocus_ = false;
    QAbstractButton::focusOutEvent(event);
}

void FeedbackButton::setHovering(bool hovering) {
    hovering_ = hovering;
    shadow_->setEnabled(hovering);
    update();
}

} // namespace kova::menubar
