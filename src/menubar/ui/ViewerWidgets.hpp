#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QString>

class QLineEdit;
class QWidget;

// The small widget builders the windows share, so a label looks the same in
// every tab and card. Main thread only.
namespace kova::menubar {

// The application font at a pixel size and weight.
QFont pixelFont(int pixelSize, QFont::Weight weight = QFont::Normal);
// Sets the text colour; a widget already in that colour is left untouched, so
// the 2-second refresh does not repaint it.
void setForeground(QWidget* widget, const QColor& colour);
// A plain-text label (never rich text: its texts come from files and servers).
QLabel* makeLabel(const QString& text, int pixelSize, QFont::Weight weight, const QColor& colour,
                  const QString& objectName);
QLabel* makeLabel(const QString& text, int pixelSize, QFont::Weight weight, const QColor& colour,
                  const char* objectName);
// A text field named for tests (objectName) and for screen readers (label).
QLineEdit* makeField(const QString& label, const QString& placeholder, const char* objectName);

// `image` scaled to cover a circle `side` points across, centred and cut to
// the circle, at the screen's pixel ratio.
QPixmap circularPixmap(const QImage& image, int side, qreal ratio);
// The round header image of the status window and the accepted-ticket panel,
// 44 points: the application's image from the bundle's resources filling the
// circle, else the desktop's computer symbol on a disc.
QPixmap headerImage(qreal ratio);

// A one-line plain-text label that shows a text wider than itself cut at the
// tail with "…"; text() keeps the whole text.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget* parent = nullptr);
    // What the label shows at its current width.
    QString displayedText() const;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace kova::menubar
