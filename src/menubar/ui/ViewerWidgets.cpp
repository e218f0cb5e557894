#include "menubar/ui/ViewerWidgets.hpp"

#include <QApplication>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QStyle>

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

QPixmap circularPixmap(const QImage& image, int side, qreal ratio) {
    QPixmap result(QSize(side, side) * ratio);
    result.setDevicePixelRatio(ratio);
    result.fill(Qt::transparent);
    QPainter painter(&result);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath circle;
    circle.addEllipse(QRectF(0, 0, side, side));
    painter.setClipPath(circle);
    const QImage scaled =
        image.scaled(result.size(), Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    const QRectF source((scaled.width() - result.width()) / 2.0, (scaled.height() - result.height()) / 2.0,
                        result.width(), result.height());
    painter.drawImage(QRectF(0, 0, side, side), scaled, source);
    return result;
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
