#include "menubar/chat/ChatInputTextView.hpp"

#include <QKeyEvent>

namespace kova::menubar {

ChatInputTextView::ChatInputTextView(QWidget* parent) : QPlainTextEdit(parent) {}

void ChatInputTextView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return && !(event->modifiers() & Qt::ShiftModifier)) {
        if (onSend) {
            onSend();
        }
        event->accept();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

} // namespace kova::menubar
