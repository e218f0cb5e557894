#include "menubar/ticket/TicketFormView.hpp"

#include "core/ConnectionIssue.hpp"
#include "core/ViewerLogger.hpp"
#include "menubar/ticket/TicketEditor.hpp"
#include "menubar/ui/Dialogs.hpp"
#include "menubar/ui/FeedbackButton.hpp"
#include "menubar/ui/QtText.hpp"
#include "menubar/ui/ViewerTheme.hpp"
#include "menubar/ui/ViewerWidgets.hpp"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QVBoxLayout>

namespace kova::menubar {
namespace {

constexpr int formMaximumWidth = 760;
constexpr int editorHeight = 190;

QComboBox* makePopup(const QString& label, const std::array<TicketChoice, 4>& items, const char* objectName) {
    auto* popup = new QComboBox;
    popup->setObjectName(QString::fromLatin1(objectName));
    popup->setAccessibleName(label);
    popup->setFont(pixelFont(14, QFont::Medium));
    popup->setFrame(false);
    QPalette palette = popup->palette();
    palette.setColor(QPalette::ButtonText, ViewerTheme::text);
    palette.setColor(QPalette::Text, ViewerTheme::text);
    palette.setColor(QPalette::Button, ViewerTheme::surface);
    palette.setColor(QPalette::Base, ViewerTheme::surface);
    popup->setPalette(palette);
    for (const auto& item : items) {
        popup->addItem(QString::fromUtf8(item.title), QString::fromLatin1(item.value));
    }
    popup->setMinimumHeight(30);
    return popup;
}

FeedbackButton* makeButton(const QString& title, FeedbackButton::Style style, const char* objectName) {
    auto* button = new FeedbackButton(title, style);
    button->setObjectName(QString::fromLatin1(objectName));
    button->setAccessibleName(title);
    return button;
}

void setFieldBackground(QLineEdit* field, const QColor& colour, bool readOnly) {
    field->setReadOnly(readOnly);
    field->setStyleSheet(QStringLiteral("QLineEdit { background: %1; }").arg(ViewerTheme::css(colour)));
}

} // namespace

TicketFormView::TicketFormView(Callbacks callbacks, QWidget* parent)
    : QWidget(parent), callbacks_(std::move(callbacks)) {
    setObjectName(QStringLiteral("ticketForm"));
    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* card = new QFrame;
    card->setObjectName(QStringLiteral("ticketCard"));
    card->setProperty("card", true);
    card->setMaximumWidth(formMaximumWidth);
    outer->addStretch(0);
    outer->addWidget(card, 1);
    outer->addStretch(0);

    auto* layout = new QVBoxLayout(card);
    layout->setContentsMargins(22, 18, 22, 18);
    layout->setSpacing(10);
    layout->addWidget(makeLabel(QStringLiteral("Nowe zgłoszenie"), 17, QFont::Bold, ViewerTheme::text,
                                QStringLiteral("ticketHeading")));

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(14);
    grid->setVerticalSpacing(8);
    grid->setColumnStretch(1, 1);
    int row = 0;
    auto addRow = [&](const QString& title, QWidget* control, const char* titleName) {
        auto* label =
            makeLabel(title, 13, QFont::DemiBold, ViewerTheme::muted, QString::fromLatin1(titleName));
        label->setBuddy(control);
        grid->addWidget(label, row, 0, Qt::AlignLeft | Qt::AlignVCenter);
        grid->addWidget(control, row, 1);
        ++row;
    };

    ticketCustomerNameField_ = makeField(QStringLiteral("Zgłaszający"), QStringLiteral("Imię i nazwisko"),
                                         "ticketCustomerNameField");
    addRow(QStringLiteral("Zgłaszający"), ticketCustomerNameField_, "ticketCustomerNameTitle");
    ticketCustomerEmailField_ = makeField(QStringLiteral("E-mail *"), QString::fromLatin1(ticketEmailExample),
                                          "ticketCustomerEmailField");
    addRow(QStringLiteral("E-mail *"), ticketCustomerEmailField_, "ticketCustomerEmailTitle");
    ticketCcEmailsField_ = makeField(QStringLiteral("DW (opcjonalnie)"), QString::fromLatin1(ticketCcExample),
                                     "ticketCcEmailsField");
    addRow(QStringLiteral("DW (opcjonalnie)"), ticketCcEmailsField_, "ticketCcEmailsTitle");
    ticketPhoneField_ =
        makeField(QStringLiteral("Telefon"), QStringLiteral("Numer telefonu"), "ticketPhoneField");
    addRow(QStringLiteral("Telefon"), ticketPhoneField_, "ticketPhoneTitle");

    auto* priority = new QWidget;
    auto* priorityRow = new QHBoxLayout(priority);
    priorityRow->setContentsMargins(0, 0, 0, 0);
    priorityRow->setSpacing(8);
    ticketPriorityIndicator_ = new QFrame;
    ticketPriorityIndicator_->setObjectName(QStringLiteral("ticketPriorityIndicator"));
    ticketPriorityIndicator_->setAccessibleName(QStringLiteral("Kolor priorytetu"));
    ticketPriorityIndicator_->setFixedSize(8, 8);
    ticketPriorityPopup_ = makePopup(QStringLiteral("Priorytet"), ticketPriorities, "ticketPriorityPopup");
    ticketPriorityPopup_->setCurrentIndex(initialTicketPriorityIndex);
    connect(ticketPriorityPopup_, &QComboBox::currentIndexChanged, this,
            &TicketFormView::updatePriorityIndicator);
    priorityRow->addWidget(ticketPriorityIndicator_);
    priorityRow->addWidget(ticketPriorityPopup_, 1);
    addRow(QStringLiteral("Priorytet"), priority, "ticketPriorityTitle");
    updatePriorityIndicator();

    ticketTypePopup_ = makePopup(QStringLiteral("Dział"), ticketDepartments, "ticketTypePopup");
    addRow(QStringLiteral("Dział"), ticketTypePopup_, "ticketTypeTitle");
    ticketSubjectField_ =
        makeField(QStringLiteral("Temat *"), QStringLiteral("Krótki temat zgłoszenia"), "ticketSubjectField");
    addRow(QStringLiteral("Temat *"), ticketSubjectField_, "ticketSubjectTitle");
    layout->addLayout(grid);

    layout->addWidget(makeLabel(QStringLiteral("Opis *"), 13, QFont::DemiBold, ViewerTheme::muted,
                                QStringLiteral("ticketDescriptionTitle")));
    descriptionHost_ = new QFrame;
    descriptionHost_->setObjectName(QStringLiteral("ticketDescriptionHost"));
    descriptionHost_->setAccessibleName(QStringLiteral("Opis *"));
    descriptionHost_->setFixedHeight(editorHeight);
    descriptionHost_->setStyleSheet(
        QStringLiteral("#ticketDescriptionHost { background: #ffffff; border: 1px "
                       "solid %1; border-radius: 7px; }")
            .arg(ViewerTheme::css(ViewerTheme::line)));
    auto* hostLayout = new QVBoxLayout(descriptionHost_);
    hostLayout->setContentsMargins(1, 1, 1, 1);
    descriptionUnavailable_ = makeLabel(QStringLiteral("Edytor opisu jest niedostępny."), 13, QFont::Normal,
                                        ViewerTheme::muted, QStringLiteral("ticketDescriptionUnavailable"));
    descriptionUnavailable_->setAlignment(Qt::AlignCenter);
    descriptionUnavailable_->hide();
    hostLayout->addWidget(descriptionUnavailable_);
    layout->addWidget(descriptionHost_);

    auto* attachments = new QHBoxLayout;
    attachments->setSpacing(10);
    auto* add = makeButton(QStringLiteral("Dodaj załącznik"), FeedbackButton::Style::secondary,
                           "addTicketAttachmentButton");
    connect(add, &QAbstractButton::clicked, this, &TicketFormView::addTicketAttachment);
    auto* clear = makeButton(QStringLiteral("Wyczyść załączniki"), FeedbackButton::Style::secondary,
                             "clearTicketAttachmentsButton");
    connect(clear, &QAbstractButton::clicked, this, &TicketFormView::clearTicketAttachments);
    ticketAttachmentsValue_ =
        makeLabel(QString(), 13, QFont::Normal, ViewerTheme::muted, QStringLiteral("ticketAttachmentsValue"));
    ticketAttachmentsValue_->setAccessibleName(QStringLiteral("Załączniki"));
    attachments->addWidget(add);
    attachments->addWidget(clear);
    attachments->addWidget(ticketAttachmentsValue_, 1);
    layout->addLayout(attachments);
    updateTicketAttachmentsLabel();

    auto* submit = new QHBoxLayout;
    submit->setSpacing(12);
    auto* send =
        makeButton(QStringLiteral("Wyślij zgłoszenie"), FeedbackButton::Style::primary, "submitTicketButton");
    connect(send, &QAbstractButton::clicked, this, &TicketFormView::submitTicket);
    ticketStatusValue_ =
        makeLabel(QString(), 13, QFont::DemiBold, ViewerTheme::tealDark, QStringLiteral("ticketStatusValue"));
    ticketStatusValue_->setAccessibleName(QStringLiteral("Status zgłoszenia"));
    ticketStatusValue_->setWordWrap(true);
    submit->addWidget(send);
    submit->addWidget(ticketStatusValue_, 1);
    layout->addLayout(submit);

    applyCustomerProfile(std::nullopt);
}

TicketFormView::~TicketFormView() = default;

void TicketFormView::applyCustomerProfile(const std::optional<CustomerProfile>& profile) {
    if (profile) {
        ticketCustomerNameField_->setText(qtText(profile->fullName));
        ticketCustomerEmailField_->setText(qtText(profile->email));
        setFieldBackground(ticketCustomerNameField_, ViewerTheme::surface, true);
        setFieldBackground(ticketCustomerEmailField_, ViewerTheme::surface, true);
        if (ticketPhoneField_->text().isEmpty() && profile->phone) {
            ticketPhoneField_->setText(qtText(*profile->phone).trimmed());
        }
    } else {
        setFieldBackground(ticketCustomerNameField_, ViewerTheme::field, false);
        setFieldBackground(ticketCustomerEmailField_, ViewerTheme::field, false);
    }
}

void TicketFormView::focusCustomerEmail() {
    ticketCustomerEmailField_->setFocus(Qt::OtherFocusReason);
}

void TicketFormView::setStatusText(const QString& text) {
    ticketStatusValue_->setText(text);
    // Screen readers hear the label's name and the status as its description.
    ticketStatusValue_->setAccessibleDescription(text);
}

void TicketFormView::updatePriorityIndicator() {
    ticketPriorityIndicator_->setStyleSheet(
        QStringLiteral("#ticketPriorityIndicator { background: %1; border-radius: 2px; }")
            .arg(ViewerTheme::css(ticketPriorityColour(ticketPriorityPopup_->currentIndex()))));
}

TicketEditor* TicketFormView::editor() const {
    return editorWidget_ ? editor_ : nullptr;
}

void TicketFormView::ensureEditor() {
    if (editorWidget_) {
        return;
    }
    window()->removeEventFilter(this);
    window()->installEventFilter(this);
    editorStarted_.start();
    auto* factory = ticketEditorFactory();
    if (!factory) {
        descriptionUnavailable_->show();
        return;
    }
    editor_ = factory->createEditor(descriptionHost_, ticketEditorResourceDirectory());
    editorWidget_ = editor_->widget();
    descriptionHost_->layout()->addWidget(editorWidget_);
    const auto restored = std::exchange(releasedHtml_, QString());
    editor_->whenReady([self = QPointer(this), restored] {
        if (!self || !self->editor()) {
            return;
        }
        ViewerLogger::info("Ticket editor ready in " + std::to_string(self->editorStarted_.elapsed()) +
                           " ms");
        if (!restored.isEmpty()) {
            self->editor()->setHtml(restored);
        }
    });
    if (!restored.isEmpty()) {
        // Readable at once, before the new page reports anything.
        editor_->setHtml(restored);
    }
}

void TicketFormView::releaseEditor() {
    if (!editorWidget_) {
        return;
    }
    releasedHtml_ = editor_->pendingHTML();
    editorWidget_->deleteLater();
    editorWidget_ = nullptr;
    editor_ = nullptr;
}

void TicketFormView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    ensureEditor();
}

bool TicketFormView::eventFilter(QObject* watched, QEvent* event) {
    // Closing the window (not leaving the tab, not minimising it, which is a
    // spontaneous hide) lets the web engine's page go.
    if (watched == window() && event->type() == QEvent::Hide && !event->spontaneous()) {
        releaseEditor();
    }
    return QWidget::eventFilter(watched, event);
}

QString TicketFormView::descriptionHtml() const {
    if (auto* current = editor()) {
        return current->pendingHTML();
    }
    return releasedHtml_;
}

TicketFormInput TicketFormView::currentInput() const {
    TicketFormInput input;
    input.customerName = ticketCustomerNameField_->text();
    input.customerEmail = ticketCustomerEmailField_->text();
    input.ccEmails = ticketCcEmailsField_->text();
    input.phone = ticketPhoneField_->text();
    input.subject = ticketSubjectField_->text();
    input.descriptionHtml = descriptionHtml();
    input.priorityIndex = ticketPriorityPopup_->currentIndex();
    input.departmentIndex = ticketTypePopup_->currentIndex();
    return input;
}

QStringList TicketFormView::parsedTicketCcEmails() const {
    return menubar::parsedTicketCcEmails(ticketCcEmailsField_->text());
}

void TicketFormView::submitTicket() {
    const auto input = currentInput();
    if (const auto failure = ticketValidationFailure(input, ticketAttachments_.size())) {
        dialogs::warning(window(), failure->title, failure->text);
        return;
    }
    auto draft = ticketDraft(input, ticketAttachments_);
    setStatusText(QStringLiteral("Wysyłam zgłoszenie..."));
    if (!callbacks_.ticketHandler) {
        return;
    }
    callbacks_.ticketHandler(
        std::move(draft),
        [self = QPointer(this)](std::optional<AgentTicketResponse> response, std::exception_ptr error) {
            if (self) {
                self->handleResult(std::move(response), std::move(error));
            }
        });
}

void TicketFormView::handleResult(std::optional<AgentTicketResponse> response, std::exception_ptr error) {
    if (response) {
        setStatusText(QStringLiteral("Zgłoszenie przyjęte: ") + qtText(response->displayNumber()));
        ticketSubjectField_->clear();
        ticketCcEmailsField_->clear();
        releasedHtml_.clear();
        if (auto* current = editor()) {
            current->setHtml(QString());
        }
        ticketAttachments_.clear();
        updateTicketAttachmentsLabel();
        if (callbacks_.resizeWindow) {
            callbacks_.resizeWindow(false);
        }
        showTicketAcceptedAlert(*response);
        return;
    }
    QString message;
    try {
        if (error) {
            std::rethrow_exception(error);
        }
        throw std::runtime_error("The ticket submission ended without an answer.");
    } catch (const std::exception& failure) {
        message = qtText(ticketFailureMessage(failure));
    }
    setStatusText(message);
    dialogs::warning(window(), QStringLiteral("Nie wysłano zgłoszenia"), message);
}

void TicketFormView::addTicketAttachment() {
    const auto paths = dialogs::openFiles(window(), QStringLiteral("Dodaj"));
    if (paths.isEmpty()) {
        return;
    }
    addTicketAttachments(ticketAttachments_, paths, [this](const TicketAlert& alert) {
        dialogs::warning(window(), alert.title, alert.text);
    });
    updateTicketAttachmentsLabel();
}

void TicketFormView::clearTicketAttachments() {
    ticketAttachments_.clear();
    updateTicketAttachmentsLabel();
}

void TicketFormView::updateTicketAttachmentsLabel() {
    const auto text = ticketAttachmentsSummary(ticketAttachments_);
    ticketAttachmentsValue_->setText(text);
    ticketAttachmentsValue_->setAccessibleDescription(text);
}

void TicketFormView::showTicketAcceptedAlert(const AgentTicketResponse& response) {
    acceptedTicket_ = response;
    QDialog panel(window());
    panel.setObjectName(QStringLiteral("acceptedTicketPanel"));
    panel.setWindowTitle(QStringLiteral("Sekwo Tarnvik"));
    panel.setAccessibleName(QStringLiteral("Zgłoszenie zostało przyjęte"));
    panel.setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    panel.setFixedSize(500, 330);
    panel.setStyleSheet(QStringLiteral("#acceptedTicketPanel { background: %1; }")
                            .arg(ViewerTheme::css(ViewerTheme::background)));
    acceptedTicketPanel_ = &panel;

    auto* layout = new QVBoxLayout(&panel);
    layout->setContentsMargins(32, 24, 32, 24);
    layout->setSpacing(12);
    if (callbacks_.headerImage) {
        auto* image = new QLabel;
        image->setObjectName(QStringLiteral("acceptedTicketImage"));
        image->setPixmap(callbacks_.headerImage());
        image->setAlignment(Qt::AlignCenter);
        layout->addWidget(image);
    }
    auto* title = makeLabel(QStringLiteral("Zgłoszenie zostało przyjęte"), 20, QFont::Bold, ViewerTheme::text,
                            QStringLiteral("acceptedTicketTitle"));
    auto* number = makeLabel(QStringLiteral("Numer zgłoszenia: ") + qtText(response.displayNumber()), 14,
                             QFont::Bold, ViewerTheme::tealDark, QStringLiteral("acceptedTicketNumber"));
    number->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* note =
        makeLabel(QStringLiteral("Zanotuj numer zgłoszenia. Odpowiedzi konsultanta zobaczysz w aplikacji "
                                 "po zalogowaniu."),
                  13, QFont::Normal, ViewerTheme::muted, QStringLiteral("acceptedTicketNote"));
    note->setWordWrap(true);
    for (auto* label : {title, number, note}) {
        label->setAlignment(Qt::AlignCenter);
        label->setAccessibleName(label->text());
        layout->addWidget(label);
    }
    layout->addStretch(1);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(12);
    auto* open = makeButton(QStringLiteral("Otwórz zgłoszenie"), FeedbackButton::Style::primary,
                            "openAcceptedTicketButton");
    connect(open, &QAbstractButton::clicked, this, &TicketFormView::openAcceptedTicket);
    auto* ok =
        makeButton(QStringLiteral("OK"), FeedbackButton::Style::secondary, "closeAcceptedTicketButton");
    connect(ok, &QAbstractButton::clicked, this, &TicketFormView::closeAcceptedTicket);
    buttons->addStretch(1);
    buttons->addWidget(open);
    buttons->addWidget(ok);
    buttons->addStretch(1);
    layout->addLayout(buttons);

    if (const auto* screen = panel.screen()) {
        panel.move(screen->availableGeometry().center() - panel.rect().center());
    }
    dialogs::exec(panel);
    // Closed by its title bar (or answered without a button): as "OK".
    if (acceptedTicketPanel_) {
        closeAcceptedTicket();
    }
}

void TicketFormView::closeAcceptedTicket() {
    if (acceptedTicketPanel_) {
        acceptedTicketPanel_->done(QDialog::Rejected);
    }
    acceptedTicketPanel_ = nullptr;
    acceptedTicket_.reset();
}

void TicketFormView::openAcceptedTicket() {
    if (!acceptedTicket_ || acceptedTicket_->publicId.empty()) {
        return;
    }
    const auto reference = qtText(acceptedTicket_->publicId);
    if (acceptedTicketPanel_) {
        acceptedTicketPanel_->done(QDialog::Accepted);
    }
    acceptedTicketPanel_ = nullptr;
    acceptedTicket_.reset();
    if (callbacks_.openCustomerPortal) {
        callbacks_.openCustomerPortal(reference);
    }
}

} // namespace kova::menubar
