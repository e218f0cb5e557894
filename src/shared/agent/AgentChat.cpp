#include "agent/AgentService.hpp"
#include "chat/RemoteChatStore.hpp"
#include "core/ViewerLogger.hpp"

namespace kova {

void AgentService::sendPendingChatMessages(const std::string& reason, std::stop_token stop) {
    // One delivery pass at a time, so each file is sent once and then deleted.
    std::lock_guard lock(chatMutex_);
    const auto deviceUid = stateSnapshot().deviceUid;
    if (!deviceUid) {
        return;
    }
    for (const auto& path : RemoteChatStore::outgoingMessageFiles()) {
        if (stop.stop_requested()) {
            return;
        }
        const auto message = RemoteChatStore::read(path);
        if (!message) {
            RemoteChatStore::remove(path);
            continue;
        }
        try {
            apiClient_->sendChatMessage(
                *deviceUid,
                {message->text, message->sender, message->publicId, message->id, message->createdAt}, stop);
        } catch (const std::exception& error) {
            if (stop.stop_requested()) {
                return; // the file stays and goes out after the restart
            }
            ViewerLogger::error(error, "Remote chat reply send failed id=" + message->id);
            continue;
        }
        RemoteChatStore::remove(path);
        ViewerLogger::info("Remote chat reply sent. id=" + message->id + " reason=" + reason);
    }
}

} // namespace kova
