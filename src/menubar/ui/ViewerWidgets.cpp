#include "menubar/ui/ViewerWidgets.hpp"

#include "menubar/ui/BundleResources.hpp"
#include "menubar/ui/ViewerTheme.hpp"

#include <QApplication>
#include <QIcon>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QStyle>

#include <functional>

namespace kova::menubar {

QFont pixelFont(int pixelSize, QFont::Weight weight) {
    QFont font = QApplication::font();
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

void setForeground(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    if (palette.color(QPalette::WindowText) != colour) {
        palette.setColor(QPalette::WindowText, colour);
        palette.setColor(QPalette::Text, colour);
        widget->setPalette(palette);
    }
}

QLabel* makeLabel(const QString& text, int pixelSize, QFont::Weight weight, const QColor& colour,
                  const QString& objectName) {
    auto* label = new QLabel(text);
    label->setObjectName(objectName);
    label->setFont(pixelFont(pixelSize, weight));
    label->setTextFormat(Qt::PlainText);
    setForeground(label, colour);
    return label;
}

QLabel* makeLabel(const QString& text, int pixelSize, QFont::Weight weight, const QColor& colour,
                  const char* objectName) {
    return makeLabel(text, pixelSize, weight, colour, QString::fromLatin1(objectName));
}

QLineEdit* makeField(const QString& label, const QString& placeholder, const char* objectName) {
    auto* field = new QLineEdit;
    field->setObjectName(QString::fromLatin1(objectName));
    field->setAccessibleName(label);
    field->setPlaceholderText(placeholder);
    field->setFont(pixelFont(13));
    field->setMinimumHeight(32);
    return field;
}

namespace {

// A transparent pixmap `side` points across at `ratio`, and the circle in it
// for `paint` to fill or cut to.
QPixmap paintedCircle(int side, qreal ratio,
                      const std::function<void(QPainter&, const QPainterPath&)>& paint) {
    QPixmap result(QSize(side, side) * ratio);
    result.setDevicePixelRatio(ratio);
    result.fill(Qt::transparent);
    QPainter painter(&result);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath circle;
    circle.addEllipse(QRectF(0, 0, side, side));
    paint(painter, circle);
    return result;
}

} // namespace

QPixmap circularPixmap(const QImage& image, int side, qreal ratio) {
    return paintedCircle(side, ratio, [&](QPainter& painter, const QPainterPath& circle) {
        painter.setClipPath(circle);
        const QSize size = QSize(side, side) * ratio;
        const QImage scaled = image.scaled(size, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
        const QRectF source((scaled.width() - size.width()) / 2.0, (scaled.height() - size.height()) / 2.0,
                            size.width(), size.height());
        painter.drawImage(QRectF(0, 0, side, side), scaled, source);
    });
}

QPixmap headerImage(qreal ratio) {
    constexpr int side = 44;
    if (const QImage image = applicationImage(bundleResourceDirectory()); !image.isNull()) {
        return circularPixmap(image, side, ratio);
    }
    return paintedCircle(side, ratio, [](QPainter& painter, const QPainterPath& circle) {
        painter.fillPath(circle, ViewerTheme::tealSoft);
        QIcon icon = QIcon::fromTheme(QStringLiteral("computer"));
        if (icon.isNull()) {
            icon = QApplication::style()->standardIcon(QStyle::SP_ComputerIcon);
        }
        icon.paint(&painter, QRect(8, 8, 28, 28));
    });
}

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
}

QString ElidedLabel::displayedText() const {
    return fontMetrics().elidedText(text(), Qt::ElideRight, contentsRect().width());
}

QSize ElidedLabel::minimumSizeHint() const {
    // Any width will do: the text is cut to it.
    return {0, QLabel::minimumSizeHint().height()};
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    style()->drawItemText(&painter, contentsRect(), static_cast<int>(alignment()), palette(), isEnabled(),
                          displayedText(), foregroundRole());
}

} // namespace kova::menubar
