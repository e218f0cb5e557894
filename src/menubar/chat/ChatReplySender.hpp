#pragma once

#include "chat/RemoteChatStore.hpp"
#include "core/Stop.hpp"
#include "menubar/model/HelpdeskClient.hpp"
#include "menubar/model/ViewerModel.hpp"

#include <QFuture>

#include <memory>

namespace kova::menubar {

// Sends a chat window's reply straight to the helpdesk with the device's
// authorisation. Called on the main thread; the request runs on a worker
// thread. A reply cut short by `stop` (the application quitting) is left in
// a file for the daemon to deliver. Owned by the application delegate.
class ChatReplySender {
public:
    ChatReplySender(const ViewerModel& model, std::shared_ptr<HelpdeskClient> helpdesk, StopToken stop);

    // True when the reply reached the helpdesk.
    QFuture<bool> send(const RemoteChatMessage& message) const;

private:
    const ViewerModel& model_;
    std::shared_ptr<HelpdeskClient> helpdesk_;
    StopToken stop_;
};

} // namespace kova::menubar
