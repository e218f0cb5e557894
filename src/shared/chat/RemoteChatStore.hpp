#pragma once

#include "core/Json.hpp"
#include "core/Time.hpp"

#include <filesystem>
#include <functional>
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

// One message file and the user who owns it, both taken from one open file,
// so a file renamed into its place meanwhile can never lend its owner to
// another's content.
struct OwnedMessageFile {
    uid_t owner = 0;
    // Absent when the content is not a message, or was not read because
    // its owner was not accepted.
    std::optional<RemoteChatMessage> message;
};
// Nothing when no regular file with a single link is at the path. The content
// is read only when acceptOwner(owner) holds.
std::optional<OwnedMessageFile> readOwned(const std::filesystem::path& path,
                                          const std::function<bool(uid_t owner)>& acceptOwner);
void remove(const std::filesystem::path& path);

// Files larger than this are not messages anyone wrote through the app.
inline constexpr std::size_t maximumMessageFileSize = 1 << 20;

} // namespace RemoteChatStore
} // namespace kova
