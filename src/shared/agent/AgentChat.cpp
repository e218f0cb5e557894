#include "agent/AgentService.hpp"
#include "chat/RemoteChatStore.hpp"
#include "core/Stop.hpp"
#include "core/ViewerLogger.hpp"

namespace kova {

void AgentService::sendPendingChatMessages(const std::string& reason, StopToken stop) {
    // One delivery pass at a time, so each file is sent once and then deleted.
    std::lock_guard lock(chatMutex_);
    const auto deviceUid = stateSnapshot().deviceUid;
    if (!deviceUid) {
        return;
    }
    // Every local user may add files to the shared directory, but only the
    // user at the console speaks for this Mac (root's files are this
    // daemon's own kind). While no one is logged in, a user's replies wait.
    const auto consoleUser = systemFacts_->consoleUserId();
    const auto mayRelay = [&](uid_t owner) { return owner == 0 || owner == consoleUser; };
    for (const auto& path : RemoteChatStore::outgoingMessageFiles()) {
        if (stop.stop_requested()) {
            return;
        }
        const auto file = RemoteChatStore::readOwned(path, mayRelay);
        if (file && !mayRelay(file->owner)) {
            if (consoleUser) {
                RemoteChatStore::remove(path);
                ViewerLogger::warn("Remote chat reply ignored: " + path.filename().string() +
                                   " belongs to user " + std::to_string(file->owner) +
                                   ", who is not logged in at the console.");
            }
            continue;
        }
        if (!file || !file->message) {
            RemoteChatStore::remove(path); // unreadable or not a message
            continue;
        }
        const auto& message = *file->message;
        try {
            apiClient_->sendChatMessage(
                *deviceUid, {message.text, message.sender, message.publicId, message.id, message.createdAt},
                stop);
        } catch (const std::exception& error) {
            if (stop.stop_requested()) {
                return; // the file stays and goes out after the restart
            }
            ViewerLogger::error(error, "Remote chat reply send failed id=" + message.id);
            continue;
        }
        RemoteChatStore::remove(path);
        ViewerLogger::info("Remote chat reply sent. id=" + message.id + " reason=" + reason);
    }
}

} // namespace kova
