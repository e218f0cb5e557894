#include "menubar/ViewerWidgets.hpp"

#include <QApplication>
#include <QLabel>
#include <QPalette>

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

} // namespace kova::menubar
