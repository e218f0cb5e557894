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

// The incoming chat files the daemon writes, one window per conversation
// that shows them, and the replies sent from those windows. Owns the windows;
// closing one only hides it, and past the bound of conversations the window
// hidden longest gives way to a new one. Main thread only; a reply goes
// straight to the helpdesk with the device's authorisation on a worker
// thread, and one cut short by `stop` (the application quitting) is left in
// a file for the daemon to deliver.
class ChatInbox {
public:
    // `fileOwner` is the only user whose files are shown: the daemon's. Any
    // local user can write the chat directory.
    ChatInbox(const ViewerModel& model, std::shared_ptr<HelpdeskClient> helpdesk, StopToken stop,
              Desktop& desktop, std::shared_ptr<platform::SystemFacts> facts, uid_t fileOwner);

    // One pass over the incoming files, bounded in files and bytes.
    void processIncoming();
    ChatWindowController* window(const std::string& publicId) const;
    std::size_t windowCount() const { return windows_.size(); }

private:
    // Appends to the conversation's window or opens one; false when every
    // window the bound allows is open and the message was not shown.
    bool show(const RemoteChatMessage& message);
    bool removeHandledFile(const std::filesystem::path& path);
    void ignoreForeignFile(const std::filesystem::path& path, uid_t owner);

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
