#include "menubar/ViewerWidgets.hpp"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
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

QLineEdit* makeField(const QString& label, const QString& placeholder, const char* objectName) {
    auto* field = new QLineEdit;
    field->setObjectName(QString::fromLatin1(objectName));
    field->setAccessibleName(label);
    field->setPlaceholderText(placeholder);
    field->setFont(pixelFont(13));
    field->setMinimumHeight(32);
    return field;
}

} // namespace kova::menubar
