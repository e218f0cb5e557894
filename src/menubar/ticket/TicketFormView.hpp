#pragma once

#include "api/CustomerRecords.hpp"
#include "api/TicketRecords.hpp"
#include "menubar/ticket/TicketFormRules.hpp"

#include <QElapsedTimer>
#include <QPointer>
#include <QWidget>

#include <exception>
#include <functional>
#include <optional>
#include <vector>

class QComboBox;
class QDialog;
class QFrame;
class QLabel;
class QLineEdit;
class QVBoxLayout;

namespace kova::menubar {

class TicketEditor;

// The answer to a submission: the accepted ticket, or the error. Always
// delivered on the main thread.
using TicketCompletion = std::function<void(std::optional<AgentTicketResponse>, std::exception_ptr)>;
using TicketHandler = std::function<void(AgentTicketDraft, TicketCompletion)>;

// The ticket tab's form: contact fields, priority and department, subject,
// the description editor (loaded from its module the first time the form is
// shown, released when the window closes), attachments, and the submission
// with its accepted-ticket panel. Hosted by StatusWindowController; the draft
// goes to the application delegate through `ticketHandler`. Main thread only.
class TicketFormView : public QWidget {
    Q_OBJECT
public:
    struct Callbacks {
        TicketHandler ticketHandler;
        std::function<void(const QString& reference)> openCustomerPortal;
        std::function<void(bool forTicketForm)> resizeWindow;
        // The header image of the status window, for the accepted-ticket panel.
        std::function<QPixmap()> headerImage;
    };

    explicit TicketFormView(Callbacks callbacks, QWidget* parent = nullptr);
    ~TicketFormView() override;

    // With a logged-in customer's profile: name and e-mail filled and locked,
    // the phone filled only when empty; without one: both editable.
    void applyCustomerProfile(const std::optional<CustomerProfile>& profile);
    void focusCustomerEmail();

    void submitTicket();
    QStringList parsedTicketCcEmails() const;
    void addTicketAttachment();
    void clearTicketAttachments();
    void updateTicketAttachmentsLabel();
    void showTicketAcceptedAlert(const AgentTicketResponse& response);
    void openAcceptedTicket();
    void closeAcceptedTicket();

    // Creates the editor when there is none; called when the form shows.
    void ensureEditor();
    // Drops the editor (and so its web page), keeping its content for the
    // next one.
    void releaseEditor();
    TicketEditor* editor() const;

    const std::vector<TicketAttachmentSelection>& ticketAttachments() const { return ticketAttachments_; }
    const std::optional<AgentTicketResponse>& acceptedTicket() const { return acceptedTicket_; }

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    TicketFormInput currentInput() const;
    QString descriptionHtml() const;
    void updatePriorityIndicator();
    void setStatusText(const QString& text);
    void handleResult(std::optional<AgentTicketResponse> response, std::exception_ptr error);

    Callbacks callbacks_;
    QLineEdit* ticketCustomerNameField_ = nullptr;
    QLineEdit* ticketCustomerEmailField_ = nullptr;
    QLineEdit* ticketCcEmailsField_ = nullptr;
    QLineEdit* ticketPhoneField_ = nullptr;
    QComboBox* ticketPriorityPopup_ = nullptr;
    QFrame* ticketPriorityIndicator_ = nullptr;
    QComboBox* ticketTypePopup_ = nullptr;
    QLineEdit* ticketSubjectField_ = nullptr;
    QWidget* descriptionHost_ = nullptr;
    QLabel* descriptionUnavailable_ = nullptr;
    QLabel* ticketAttachmentsValue_ = nullptr;
    QLabel* ticketStatusValue_ = nullptr;

    QPointer<QWidget> editorWidget_;
    TicketEditor* editor_ = nullptr;
    // What a released editor held, put back into the next one.
    QString releasedHtml_;
    QElapsedTimer editorStarted_;

    std::vector<TicketAttachmentSelection> ticketAttachments_;
    std::optional<AgentTicketResponse> acceptedTicket_;
    QPointer<QDialog> acceptedTicketPanel_;
};

} // namespace kova::menubar
