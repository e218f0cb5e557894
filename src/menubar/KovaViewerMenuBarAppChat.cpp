// The delegate's chat work: incoming chat files become windows, replies go
// straight to the helpdesk and fall back to a file the daemon delivers.
#include "api/KovaDeskApiClient.hpp"
#include "config/AgentConnectionState.hpp"
#include "config/DeviceTokenStore.hpp"
#include "config/ViewerState.hpp"
#include "core/Stop.hpp"
#include "core/Strings.hpp"
#include "core/ViewerLogger.hpp"
#include "menubar/KovaViewerMenuBarApp.hpp"

#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>

namespace kova::menubar {
namespace {

// Runs on a worker thread; never throws.
bool sendChatReplyDirectly(std::optional<ViewerSettings> settings, const RemoteChatMessage& message,
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
        KovaDeskApiClient client(*settings, nullptr, std::make_shared<DeviceTokenStore>());
        client.sendChatMessage(
            *state.deviceUid, {message.text, message.sender, message.publicId, message.id, message.createdAt},
            stop);
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

void KovaViewerMenuBarApp::processIncomingChat() {
    // The directory is world-writable: the store reads regular files only,
    // never through a link, and no larger than its cap.
    for (const auto& path : RemoteChatStore::incomingMessageFiles()) {
        const auto message = RemoteChatStore::read(path);
        if (!message) {
            RemoteChatStore::remove(path);
            continue;
        }
        if (const auto found = chatWindows_.find(message->publicId); found != chatWindows_.end()) {
            found->second->append(*message);
        } else {
            QPointer<KovaViewerMenuBarApp> self(this);
            auto send = [self](const RemoteChatMessage& reply) {
                return self ? self->sendChatReply(reply) : QtFuture::makeReadyFuture(false);
            };
            chatWindows_.emplace(message->publicId,
                                 std::make_unique<ChatWindowController>(
                                     *message, std::move(send), *dependencies_.desktop, dependencies_.facts));
        }
        RemoteChatStore::remove(path);
    }
}

QFuture<bool> KovaViewerMenuBarApp::sendChatReply(const RemoteChatMessage& message) {
    // Cut short at quit like the audit; the reply then falls back to the file.
    return QtConcurrent::run(sendChatReplyDirectly, settings_, message, backgroundStop_.get_token());
}

ChatWindowController* KovaViewerMenuBarApp::chatWindow(const std::string& publicId) const {
    const auto found = chatWindows_.find(publicId);
    return found == chatWindows_.end() ? nullptr : found->second.get();
}

} // namespace kova::menubar
