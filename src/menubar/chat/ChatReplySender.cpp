#include "menubar/chat/ChatReplySender.hpp"

#include "config/AgentConnectionState.hpp"
#include "core/Strings.hpp"
#include "core/ViewerLogger.hpp"

#include <QtConcurrent/QtConcurrentRun>

namespace kova::menubar {
namespace {

// Runs on a worker thread; never throws.
bool sendChatReplyDirectly(const std::shared_ptr<HelpdeskClient>& helpdesk,
                           std::optional<ViewerSettings> settings, const RemoteChatMessage& message,
                           StopToken stop) {
    if (!settings) {
        try {
            settings = ViewerSettings::load();
        } catch (const std::exception&) {
            ViewerLogger::error("Remote chat reply send failed: missing settings.");
            return false;
        }
    }
    const ViewerState state = ViewerState::load();
    if (!state.deviceUid || trimmed(*state.deviceUid).empty()) {
        ViewerLogger::error("Remote chat reply send failed: missing device_uid.");
        return false;
    }
    try {
        helpdesk->sendChatMessage(
            *settings, *state.deviceUid,
            {message.text, message.sender, message.publicId, message.id, message.createdAt}, stop);
    } catch (const std::exception& error) {
        ViewerLogger::error(error, "Remote chat reply direct send failed id=" + message.id);
        if (stop.stop_requested()) {
            // Quitting: no window will see the result, so the reply is left
            // for the daemon here instead of being lost.
            RemoteChatStore::saveOutgoing(message);
            return false;
        }
        try {
            AgentConnectionState::record(error);
        } catch (const std::exception&) {
            // The state file belongs to root; the daemon records its own outcome.
        }
        return false;
    }
    ViewerLogger::info("Remote chat reply sent directly from menu bar. id=" + message.id);
    return true;
}

} // namespace

ChatReplySender::ChatReplySender(const ViewerModel& model, std::shared_ptr<HelpdeskClient> helpdesk,
                                 StopToken stop)
    : model_(model), helpdesk_(std::move(helpdesk)), stop_(std::move(stop)) {}

QFuture<bool> ChatReplySender::send(const RemoteChatMessage& message) const {
    return QtConcurrent::run(sendChatReplyDirectly, helpdesk_, model_.settings(), message, stop_);
}

} // namespace kova::menubar
