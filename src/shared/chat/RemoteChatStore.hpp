#pragma once

#include "core/Json.hpp"
#include "core/Time.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kova {

struct RemoteChatMessage {
    std::string id;
    std::string publicId;
    std::string direction; // "incoming" or "outgoing"
    std::string sender;
    std::string text;
    Timestamp createdAt{};

    Json toJson() const;
    // Throws DecodingError.
    static RemoteChatMessage decode(std::string_view text);
    bool operator==(const RemoteChatMessage&) const = default;
};

// The chat message files shared by the daemon and the menu bar: one JSON file
// per message in a world-writable directory. Every access refuses symbolic
// links, since any local user can create entries there. Callable from any
// thread; never throws.
namespace RemoteChatStore {

std::filesystem::path directory();
std::string safePublicId(std::string_view publicId);

void saveIncoming(const std::string& publicId, const std::string& sender, const std::string& text);
void saveOutgoing(const std::string& publicId, const std::string& text, const std::string& sender);
void saveOutgoing(const RemoteChatMessage& message);

std::vector<std::filesystem::path> incomingMessageFiles();
std::vector<std::filesystem::path> outgoingMessageFiles();
std::optional<RemoteChatMessage> read(const std::filesystem::path& path);
void remove(const std::filesystem::path& path);

// Files larger than this are not messages anyone wrote through the app.
inline constexpr std::size_t maximumMessageFileSize = 1 << 20;

// A message file as `read` sees it, with the user who owns it: in a
// directory every local user can write, the owner says who wrote it.
struct OwnedMessage {
    std::optional<uid_t> owner;               // none when no regular file could be opened
    std::optional<RemoteChatMessage> message; // none when unreadable or no message
};
OwnedMessage readOwned(const std::filesystem::path& path);

} // namespace RemoteChatStore
} // namespace kova
