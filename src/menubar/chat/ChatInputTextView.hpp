#pragma once

#include <QPlainTextEdit>

#include <functional>

namespace kova::menubar {

// The chat reply editor: Return alone sends, Shift+Return breaks the line,
// every other key is ordinary editing.
class ChatInputTextView : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit ChatInputTextView(QWidget* parent = nullptr);

    std::function<void()> onSend;

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

} // namespace kova::menubar
