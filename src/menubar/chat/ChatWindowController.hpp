#pragma once

#include "chat/RemoteChatStore.hpp"
#include "platform/SystemFacts.hpp"

#include <QFuture>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace kova::menubar {

class ChatInputTextView;
class Desktop;

// One conversation's window: the transcript of everything shown since the
// application started, and the reply editor. Closing only hides it, so the
// next message of the conversation brings back the whole transcript.
// Main thread only.
class ChatWindowController : public QWidget {
    Q_OBJECT
public:
    // Resolves to true when the reply reached the helpdesk; runs off the
    // main thread, the result comes back here.
    using SendMessage = std::function<QFuture<bool>(const RemoteChatMessage&)>;

    ChatWindowController(const RemoteChatMessage& message, SendMessage sendMessage, Desktop& desktop,
                         std::shared_ptr<platform::SystemFacts> facts, QWidget* parent = nullptr);

    // Adds one line to the transcript and brings the window forward.
    void append(const RemoteChatMessage& message);
    void sendCurrentMessage();

    const std::string& publicId() const { return publicId_; }
    QPlainTextEdit* transcriptView() const { return transcriptView_; }
    ChatInputTextView* inputField() const { return inputField_; }
    QPushButton* sendButton() const { return sendButton_; }

private:
    void buildContent();
    void finishSending(const RemoteChatMessage& message, bool sent);

    QPlainTextEdit* transcriptView_ = nullptr;
    ChatInputTextView* inputField_ = nullptr;
    QPushButton* sendButton_ = nullptr;
    std::string publicId_;
    SendMessage sendMessage_;
    Desktop& desktop_;
    std::shared_ptr<platform::SystemFacts> facts_;
};

} // namespace kova::menubar
