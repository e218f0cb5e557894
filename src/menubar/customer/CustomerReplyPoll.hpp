#pragma once

#include "api/CustomerRecords.hpp"
#include "config/ViewerSettings.hpp"
#include "core/Stop.hpp"
#include "menubar/model/CustomerSessionStore.hpp"
#include "menubar/model/HelpdeskClient.hpp"

#include <QObject>

#include <memory>
#include <vector>

namespace kova::menubar {

// What one poll found.
struct CustomerReplies {
    std::vector<CustomerTicketNotification> replies;
    // The server ended the session, which is cleared from the store.
    bool sessionEnded = false;
    // The session changed while the request ran; the new one wants a poll.
    bool stale = false;
};

// One poll for replies to the customer's tickets after the session's cursor,
// which it stores; emits finished() and deletes itself on the main thread. The
// request and the store run on a worker thread, cut short by `stop`.
class CustomerReplyPoll : public QObject {
    Q_OBJECT
public:
    CustomerReplyPoll(std::shared_ptr<HelpdeskClient> helpdesk, ViewerSettings settings,
                      CustomerSessionState session, StopToken stop, QObject* parent);

Q_SIGNALS:
    void finished(const CustomerReplies& found);
};

} // namespace kova::menubar
