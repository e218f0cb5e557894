#include "menubar/chat/ChatWindowController.hpp"

#include "menubar/chat/ChatInputTextView.hpp"
#include "menubar/chat/ChatWindowRules.hpp"
#include "menubar/platform/Desktop.hpp"
#include "menubar/ui/ViewerWidgets.hpp"

#include <QFontDatabase>
#include <QFutureWatcher>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

namespace kova::menubar {
namespace {

constexpr int margin = 18;
// A thin border in the text colour, as light as a system line border.
const QString borderCss = QStringLiteral("1px solid rgba(23, 49, 61, 70)");

// Text colour, field background and inset of the transcript and the input.
QString fieldCss(const char* objectName, int insetX, int insetY) {
    return QStringLiteral("#%1 { color: %2; background: %3; border: %4; padding: %5px %6px; }")
        .arg(QString::fromLatin1(objectName), ChatPalette::text.name(), ChatPalette::fieldBackground.name(),
             borderCss, QString::number(insetY), QString::number(insetX));
}

} // namespace

ChatWindowController::ChatWindowController(const RemoteChatMessage& message, SendMessage sendMessage,
                                           Desktop& desktop, std::shared_ptr<platform::SystemFacts> facts,
                                           QWidget* parent)
    : QWidget(parent, Qt::Window), publicId_(message.publicId), sendMessage_(std::move(sendMessage)),
      desktop_(desktop), facts_(std::move(facts)) {
    setObjectName(QStringLiteral("chatWindow"));
    setWindowTitle(QString::fromUtf8(chatWindowTitle));
    setAccessibleName(windowTitle());
    resize(460, 520);
    setMinimumSize(360, 420);
    buildContent();
    QPointer<ChatWindowController> self(this);
    inputField_->onSend = [self] {
        if (self) {
            self->sendCurrentMessage();
        }
    };
    append(message);
}

void ChatWindowController::buildContent() {
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(QStringLiteral("#chatWindow { background: %1; }"
                                 "#sendButton { color: %2; background: %3; border: %4; border-radius: 6px; }"
                                 "#sendButton:pressed { background: %5; }"
                                 "#sendButton:disabled { color: %6; }")
                      .arg(ChatPalette::windowBackground.name(), ChatPalette::text.name(),
                           ChatPalette::fieldBackground.name(), borderCss,
                           ChatPalette::windowBackground.name(), ChatPalette::subtitle.name()) +
                  fieldCss("transcriptView", 10, 10) + fieldCss("inputField", 8, 7));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(margin, margin, margin, margin);
    layout->setSpacing(0);
    auto* title =
        makeLabel(QString::fromUtf8(chatWindowTitle), 18, QFont::Bold, ChatPalette::text, "titleLabel");
    title->setAccessibleName(title->text());
    layout->addWidget(title);
    layout->addSpacing(4);
    auto* subtitle = makeLabel(QString::fromUtf8(chatWindowSubtitle), 12, QFont::Normal,
                               ChatPalette::subtitle, "subtitleLabel");
    subtitle->setAccessibleName(subtitle->text());
    subtitle->setWordWrap(true);
    layout->addWidget(subtitle);
    layout->addSpacing(14);

    transcriptView_ = new QPlainTextEdit;
    transcriptView_->setObjectName(QStringLiteral("transcriptView"));
    transcriptView_->setAccessibleName(QStringLiteral("Rozmowa"));
    transcriptView_->setReadOnly(true);
    transcriptView_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    transcriptView_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    transcriptView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    transcriptView_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    // The oldest lines go first, so a long conversation keeps its memory bounded.
    transcriptView_->setMaximumBlockCount(ChatLimits::transcriptLines);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPixelSize(13);
    mono.setWeight(QFont::Normal);
    transcriptView_->setFont(mono);
    transcriptView_->setMinimumSize(120, 80);
    layout->addWidget(transcriptView_, 1);
    layout->addSpacing(12);

    auto* row = new QHBoxLayout;
    row->setSpacing(10);
    inputField_ = new ChatInputTextView;
    inputField_->setObjectName(QStringLiteral("inputField"));
    inputField_->setAccessibleName(QStringLiteral("Odpowiedź"));
    inputField_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    inputField_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    inputField_->setTabChangesFocus(true);
    QFont inputFont = inputField_->font();
    inputFont.setPixelSize(13);
    inputField_->setFont(inputFont);
    inputField_->setFixedHeight(44);
    row->addWidget(inputField_, 1);

    sendButton_ = new QPushButton(QString::fromUtf8(chatSendButtonTitle));
    sendButton_->setObjectName(QStringLiteral("sendButton"));
    sendButton_->setAccessibleName(sendButton_->text());
    QFont buttonFont = sendButton_->font();
    buttonFont.setPixelSize(13);
    buttonFont.setWeight(QFont::DemiBold);
    sendButton_->setFont(buttonFont);
    sendButton_->setFixedSize(92, 30);
    sendButton_->setCursor(Qt::PointingHandCursor);
    connect(sendButton_, &QPushButton::clicked, this, &ChatWindowController::sendCurrentMessage);
    row->addWidget(sendButton_, 0, Qt::AlignVCenter);
    layout->addLayout(row);

    setTabOrder(inputField_, sendButton_);
    setTabOrder(sendButton_, transcriptView_);
}

void ChatWindowController::append(const RemoteChatMessage& message) {
    // Plain text at the end, whatever the user selected or scrolled to.
    QTextCursor cursor(transcriptView_->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(chatTranscriptLine(message), QTextCharFormat());
    auto* bar = transcriptView_->verticalScrollBar();
    bar->setValue(bar->maximum());
    desktop_.activate(this);
    inputField_->setFocus(Qt::ActiveWindowFocusReason);
}

void ChatWindowController::sendCurrentMessage() {
    if (!sendButton_->isEnabled()) {
        return; // the previous reply is still on its way
    }
    const auto text = chatReplyText(inputField_->toPlainText());
    if (!text) {
        return;
    }
    inputField_->clear();
    sendButton_->setEnabled(false);
    const auto message = outgoingChatMessage(
        publicId_, chatReplySender(facts_ ? facts_->localizedHostName() : std::nullopt), *text, nowSeconds());
    append(message);

    auto* watcher = new QFutureWatcher<bool>(this);
    connect(watcher, &QFutureWatcher<bool>::finished, this, [this, watcher, message] {
        watcher->deleteLater();
        const bool sent =
            !watcher->future().isCanceled() && watcher->future().resultCount() > 0 && watcher->result();
        finishSending(message, sent);
    });
    watcher->setFuture(sendMessage_ ? sendMessage_(message) : QtFuture::makeReadyFuture(false));
}

void ChatWindowController::finishSending(const RemoteChatMessage& message, bool sent) {
    sendButton_->setEnabled(true);
    if (sent) {
        return;
    }
    // The daemon delivers it later; the notice is shown, never stored.
    RemoteChatStore::saveOutgoing(message);
    append(chatSendFailureNotice(publicId_, nowSeconds()));
}

} // namespace kova::menubar
