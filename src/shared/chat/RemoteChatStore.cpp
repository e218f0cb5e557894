#include "chat/RemoteChatStore.hpp"

#include "core/Files.hpp"
#include "core/Paths.hpp"
#include "core/Strings.hpp"
#include "core/Uuid.hpp"
#include "core/ViewerLogger.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace kova {

Json RemoteChatMessage::toJson() const {
    return Json{{"id", id},         {"publicId", publicId}, {"direction", direction},
                {"sender", sender}, {"text", text},         {"createdAt", formatIso8601(createdAt)}};
}

RemoteChatMessage RemoteChatMessage::decode(std::string_view text) {
    constexpr std::string_view what = "The chat message";
    const auto json = parseJson(text, what);
    RemoteChatMessage m;
    m.id = requireString(json, "id", what);
    m.publicId = requireString(json, "publicId", what);
    m.direction = requireString(json, "direction", what);
    m.sender = requireString(json, "sender", what);
    m.text = requireString(json, "text", what);
    const auto created = parseIso8601(requireString(json, "createdAt", what));
    if (!created) {
        throw DecodingError(std::string(what) +
                            " could not be decoded: \"createdAt\" is not an ISO 8601 date.");
    }
    m.createdAt = *created;
    return m;
}

namespace RemoteChatStore {
namespace {

constexpr std::string_view incomingSuffix = ".incoming.json";
constexpr std::string_view outgoingSuffix = ".outgoing.json";

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Creates the directory (0777) and re-applies its mode through a descriptor
// opened without following links, so a planted link can never make another
// directory world-writable.
void ensureDirectory() {
    const auto dir = directory();
    if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
        if (errno != ENOENT) {
            throwErrno("create directory " + dir.string());
        }
        files::createDirectories(dir.parent_path());
        if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
            throwErrno("create directory " + dir.string());
        }
    }
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        throwErrno("open directory " + dir.string());
    }
    [[maybe_unused]] const int ignored = ::fchmod(fd, 0777);
    ::close(fd);
}

std::int64_t nowMilliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void save(const RemoteChatMessage& message) {
    try {
        ensureDirectory();
        const auto name = safePublicId(message.publicId) + "." + std::to_string(nowMilliseconds()) + "." +
                          message.id + "." + message.direction + ".json";
        files::writeFileAtomically(directory() / name, prettyJson(message.toJson()));
    } catch (const std::exception& e) {
        ViewerLogger::error(e, "Remote chat message save failed");
    }
}

RemoteChatMessage make(const std::string& publicId, std::string direction, std::string sender,
                       std::string text) {
    RemoteChatMessage m;
    m.id = makeCompactUuid();
    m.publicId = publicId;
    m.direction = std::move(direction);
    m.sender = std::move(sender);
    m.text = std::move(text);
    m.createdAt = nowSeconds();
    return m;
}

std::vector<std::filesystem::path> messageFiles(std::string_view suffix) {
    try {
        ensureDirectory();
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(directory())) {
            auto name = entry.path().filename().string();
            if (name.ends_with(suffix)) {
                names.push_back(std::move(name));
            }
        }
        std::sort(names.begin(), names.end());
        std::vector<std::filesystem::path> paths;
        paths.reserve(names.size());
        for (const auto& name : names) {
            paths.push_back(directory() / name);
        }
        return paths;
    } catch (const std::exception& e) {
        ViewerLogger::error(e, "Remote chat directory read failed");
        return {};
    }
}

} // namespace

std::filesystem::path directory() {
    return paths::chatDirectory();
}

std::string safePublicId(std::string_view publicId) {
    std::string out;
    out.reserve(publicId.size());
    for (const char c : publicId) {
        switch (c) {
        case '/':
        case '\\':
        case ':':
        case '?':
        case '%':
        case '*':
        case '|':
        case '"':
        case '<':
        case '>':
            out.push_back('_');
            break;
        default:
            out.push_back(c);
        }
    }
    return out;
}

void saveIncoming(const std::string& publicId, const std::string& sender, const std::string& text) {
    save(make(publicId, "incoming", trimmed(sender).empty() ? "Konsultant" : sender, text));
}

void saveOutgoing(const std::string& publicId, const std::string& text, const std::string& sender) {
    save(make(publicId, "outgoing", sender, text));
}

void saveOutgoing(const RemoteChatMessage& message) {
    auto copy = message;
    copy.direction = "outgoing";
    save(copy);
}

std::vector<std::filesystem::path> incomingMessageFiles() {
    return messageFiles(incomingSuffix);
}
std::vector<std::filesystem::path> outgoingMessageFiles() {
    return messageFiles(outgoingSuffix);
}

std::optional<RemoteChatMessage> read(const std::filesystem::path& path) {
    // Only a regular file, never through a link another user planted.
    const auto bytes = files::readRegularFile(path, maximumMessageFileSize, false);
    if (!bytes) {
        return std::nullopt;
    }
    try {
        return RemoteChatMessage::decode(*bytes);
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

void remove(const std::filesystem::path& path) {
    ::unlink(path.c_str());
}

} // namespace RemoteChatStore
} // namespace kova
