#pragma once

#include "chat/RemoteChatStore.hpp"
#include "core/Stop.hpp"
#include "menubar/chat/ChatWindowController.hpp"
#include "menubar/model/HelpdeskClient.hpp"
#include "menubar/model/ViewerModel.hpp"
#include "platform/SystemFacts.hpp"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <sys/types.h>

namespace kova::menubar {

class Desktop;

// Shows the daemon's incoming chat files, one window per conversation (it owns
// them), and sends their replies. Main thread only; a reply is sent on a worker
// thread, and one cut short by `stop` is left in a file for the daemon.
class ChatInbox {
public:
    // `fileOwner`: the only user whose files are shown.
    ChatInbox(const ViewerModel& model, std::shared_ptr<HelpdeskClient> helpdesk, StopToken stop,
              Desktop& desktop, std::shared_ptr<platform::SystemFacts> facts, uid_t fileOwner);
    // One pass over the incoming files, bounded in files and bytes.
    void processIncoming();
    ChatWindowController* window(const std::string& publicId) const;
    std::size_t windowCount() const { return windows_.size(); }

private:
    // Appends to or opens the conversation's window; false when none may open.
    bool show(const RemoteChatMessage& message);
    bool removeHandledFile(const std::filesystem::path& path);

    ChatWindowController::SendMessage send_;
    Desktop& desktop_;
    std::shared_ptr<platform::SystemFacts> facts_;
    uid_t fileOwner_;
    std::map<std::string, std::unique_ptr<ChatWindowController>> windows_;
    std::map<std::string, std::uint64_t> lastShown_;
    std::uint64_t showCount_ = 0;
    // Files handled already that could not be removed: passed over until they go.
    std::set<std::string> ignoredFiles_;
};

} // namespace kova::menubar
