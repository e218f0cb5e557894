#include "menubar/chat/ChatInbox.hpp"

#include "config/AgentConnectionState.hpp"
#include "core/Strings.hpp"
#include "core/ViewerLogger.hpp"
#include "menubar/chat/ChatWindowRules.hpp"
#include "menubar/ui/QtText.hpp"

#include <QPushButton>
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

ChatInbox::ChatInbox(const ViewerModel& model, std::shared_ptr<HelpdeskClient> helpdesk, StopToken stop,
                     Desktop& desktop, std::shared_ptr<platform::SystemFacts> facts, uid_t fileOwner)
    : send_([&model, helpdesk = std::move(helpdesk), stop = std::move(stop)](const RemoteChatMessage& reply) {
          return QtConcurrent::run(sendChatReplyDirectly, helpdesk, model.settings(), reply, stop);
      }),
      desktop_(desktop), facts_(std::move(facts)), fileOwner_(fileOwner) {}

void ChatInbox::processIncoming() {
    // The directory is world-writable: the store reads regular files only,
    // never through a link, and no larger than its cap; only the daemon's
    // files are shown, and one pass handles a bounded number of them.
    const auto files = RemoteChatStore::incomingMessageFiles();
    if (!ignoredFiles_.empty()) {
        std::set<std::string> listed;
        for (const auto& path : files) {
            listed.insert(path.filename().string());
        }
        std::erase_if(ignoredFiles_, [&listed](const std::string& name) { return !listed.contains(name); });
    }
    std::size_t handled = 0;
    std::size_t bytes = 0;
    std::size_t dropped = 0;
    std::size_t shortened = 0;
    for (const auto& path : files) {
        if (ignoredFiles_.contains(path.filename().string())) {
            continue;
        }
        if (handled == ChatLimits::filesPerPass || bytes >= ChatLimits::bytesPerPass) {
            break; // the rest wait for the next pass
        }
        ++handled;
        const auto ours = [this](uid_t owner) { return owner == fileOwner_; };
        const auto file = RemoteChatStore::readOwned(path, ours);
        if (file && !ours(file->owner)) {
            // Another local user can plant files here; only the daemon's are messages.
            const bool removed = removeHandledFile(path);
            ViewerLogger::warn("Remote chat file of user " + std::to_string(file->owner) + " ignored" +
                               (removed ? " and removed: " : " (it cannot be removed): ") +
                               path.filename().string());
            continue;
        }
        if (!file || !file->message) {
            removeHandledFile(path);
            continue;
        }
        const auto& message = *file->message;
        bytes += message.text.size() + message.sender.size() + message.publicId.size();
        // UTF-8 never has fewer bytes than UTF-16 units: only a long text needs counting.
        if (message.text.size() > static_cast<std::size_t>(ChatLimits::shownTextLength) &&
            qtText(shownHead(message.text)).size() > ChatLimits::shownTextLength) {
            ++shortened;
        }
        if (!show(message)) {
            ++dropped;
        }
        removeHandledFile(path);
    }
    if (shortened > 0) {
        ViewerLogger::warn("Remote chat: " + std::to_string(shortened) + " message(s) shown cut to " +
                           std::to_string(ChatLimits::shownTextLength) + " characters.");
    }
    if (dropped > 0) {
        ViewerLogger::warn("Remote chat: " + std::to_string(dropped) +
                           " message(s) of new conversations dropped; " +
                           std::to_string(ChatLimits::conversations) + " conversation windows are open.");
    }
}

bool ChatInbox::show(const RemoteChatMessage& message) {
    if (const auto found = windows_.find(message.publicId); found != windows_.end()) {
        found->second->append(message);
        lastShown_[message.publicId] = ++showCount_;
        return true;
    }
    if (windows_.size() >= ChatLimits::conversations) {
        // The conversation whose window has been closed longest gives way;
        // one still open, or with a reply on its way, never does.
        auto oldest = windows_.end();
        for (auto it = windows_.begin(); it != windows_.end(); ++it) {
            const auto& window = *it->second;
            if (window.isVisible() || !window.sendButton()->isEnabled()) {
                continue;
            }
            if (oldest == windows_.end() || lastShown_[it->first] < lastShown_[oldest->first]) {
                oldest = it;
            }
        }
        if (oldest == windows_.end()) {
            return false;
        }
        lastShown_.erase(oldest->first);
        windows_.erase(oldest);
    }
    // The creation shows the message.
    windows_.emplace(message.publicId,
                     std::make_unique<ChatWindowController>(message, send_, desktop_, facts_));
    lastShown_[message.publicId] = ++showCount_;
    return true;
}

bool ChatInbox::removeHandledFile(const std::filesystem::path& path) {
    RemoteChatStore::remove(path);
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, error))) {
        return true;
    }
    // A directory with the sticky bit keeps other users' files: passed over
    // from now on, so nothing is shown or logged twice.
    ignoredFiles_.insert(path.filename().string());
    return false;
}

ChatWindowController* ChatInbox::window(const std::string& publicId) const {
    const auto found = windows_.find(publicId);
    return found == windows_.end() ? nullptr : found->second.get();
}

} // namespace kova::menubar
