#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QFont>

class QGraphicsDropShadowEffect;

namespace kova::menubar {

// A borderless button that draws its own title, background and border, and
// shows hover and press feedback. Main thread only.
class FeedbackButton : public QAbstractButton {
    Q_OBJECT
public:
    enum class Style { primary, secondary };

    struct Colours {
        QColor normalTitle;
        QColor pressedTitle;
        QColor normalBackground;
        QColor hoverBackground;
        QColor pressedBackground;
        QColor normalBorder;
        QColor pressedBorder;
    };

    FeedbackButton(const QString& title, Style style, QWidget* parent = nullptr);

    static Colours colours(Style style);
    // The tab bar's selected and unselected looks.
    static Colours tabColours(bool selected);

    void setColours(const Colours& colours);
    const Colours& currentColours() const { return colours_; }
    void setTitleFont(const QFont& font);
    void setMinimumButtonSize(int width, int height);

    bool isHovering() const { return hovering_; }
    // The background drawn in the button's present state.
    QColor backgroundColour() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void setHovering(bool hovering);

    Colours colours_;
    QFont titleFont_;
    int minimumWidth_ = 132;
    int minimumHeight_ = 34;
    bool hovering_ = false;
    // The focus ring is for keyboard users; a click or a window activation shows none.
    bool keyboardFocus_ = false;
    QGraphicsDropShadowEffect* shadow_ = nullptr;
};

} // namespace kova::menubar
