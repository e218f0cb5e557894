#pragma once

#include "chat/RemoteChatStore.hpp"
#include "menubar/chat/ChatWindowController.hpp"
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

// The incoming chat files the daemon writes, and one window per conversation
// that shows them. Owns the windows; closing one only hides it, and past the
// bound of conversations the window hidden longest gives way to a new one.
// Main thread only.
class ChatInbox {
public:
    // `fileOwner` is the only user whose files are shown: the daemon's. Any
    // local user can write the chat directory.
    ChatInbox(ChatWindowController::SendMessage send, Desktop& desktop,
              std::shared_ptr<platform::SystemFacts> facts, uid_t fileOwner);

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
