#pragma once

#include "core/Stop.hpp"
#include "menubar/model/HelpdeskClient.hpp"
#include "menubar/model/ViewerModel.hpp"
#include "menubar/ticket/TicketFormView.hpp"

#include <QObject>

#include <memory>

namespace kova::menubar {

// Sends the ticket form's drafts with the device's identity; owned by the
// delegate. Main thread, but the request runs on a worker thread cut short by `stop`.
class TicketSubmission : public QObject {
    Q_OBJECT
public:
    TicketSubmission(ViewerModel& model, std::shared_ptr<HelpdeskClient> helpdesk, StopToken stop,
                     QObject* parent = nullptr);
    void submit(AgentTicketDraft draft, TicketCompletion completion);

private:
    ViewerModel& model_;
    std::shared_ptr<HelpdeskClient> helpdesk_;
    StopToken stop_;
};

} // namespace kova::menubar
