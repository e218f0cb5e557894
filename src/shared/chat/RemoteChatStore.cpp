#include "chat/RemoteChatStore.hpp"

#include "core/Files.hpp"
#include "core/Paths.hpp"
#include "core/Strings.hpp"
#include "core/Uuid.hpp"
#include "core/ViewerLogger.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <stdexcept>
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
    m.createdAt = requireDate(json, "createdAt", what);
    return m;
}

namespace RemoteChatStore {
namespace {

constexpr std::string_view incomingSuffix = ".incoming.json";
constexpr std::string_view outgoingSuffix = ".outgoing.json";

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// A chat directory that is not safe to use: a planted link or a parent another
// user owns. Chat is skipped until it is mended.
class UnsafeDirectory : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A refusal is logged once, not on every delivery pass, until the directory
// is usable again or is refused for another reason.
struct Refusal {
    std::mutex mutex;
    std::string last;
};

Refusal& refusal() {
    static Refusal r;
    return r;
}

void noteRefusal(const UnsafeDirectory& error) {
    auto& r = refusal();
    std::lock_guard lock(r.mutex);
    if (r.last != error.what()) {
        r.last = error.what();
        ViewerLogger::error(error, "Remote chat directory read failed");
    }
}

void clearRefusal() {
    auto& r = refusal();
    std::lock_guard lock(r.mutex);
    r.last.clear();
}

// Opens the chat directory by walking from the root one component at a time
// without following links, so nothing a user planted in /Users/Shared can
// redirect it. Every parent must belong to root (or, in a process of another
// user such as the menu bar, to that user). Only root creates the missing
// parents (0755, so no one else can replace what lies below); the directory
// itself is created and kept at 0777 so both programs can add and remove
// messages.
files::UniqueFd openDirectory() {
    const auto rootPath = paths::root();
    const auto relative = directory().lexically_relative(rootPath);
    files::UniqueFd fd(::open(rootPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        throwErrno("open directory " + rootPath.string());
    }
    const uid_t self = ::geteuid();
    auto reached = rootPath;
    for (auto it = relative.begin(); it != relative.end(); ++it) {
        // Not std::prev(end()): a path's iterator is only an input iterator to
        // LLVM's library, where stepping one back does nothing.
        const bool isLast = std::next(it) == relative.end();
        const auto name = it->string();
        reached /= *it;
        const auto openNext = [&] {
            return files::UniqueFd(
                ::openat(fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        };
        auto next = openNext();
        if (!next && errno == ENOENT && (isLast || self == 0)) {
            if (::mkdirat(fd.get(), name.c_str(), isLast ? 0777 : 0755) != 0 && errno != EEXIST) {
                throwErrno("create directory " + reached.string());
            }
            next = openNext();
        }
        if (!next) {
            const int openError = errno;
            struct stat st {};
            if (openError != ENOENT && ::fstatat(fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
                throw UnsafeDirectory(reached.string() + (S_ISLNK(st.st_mode) ? " is a symbolic link."
                                                                              : " is not a directory."));
            }
            errno = openError;
            throwErrno("open directory " + reached.string());
        }
        struct stat st {};
        if (::fstat(next.get(), &st) != 0) {
            throwErrno("stat " + reached.string());
        }
        if (!isLast && st.st_uid != 0 && st.st_uid != self) {
            throw UnsafeDirectory(reached.string() + " belongs to user " + std::to_string(st.st_uid) +
                                  ", not to root.");
        }
        fd = std::move(next);
    }
    // Through the descriptor: whatever the path names by now, only this
    // directory is made world-writable.
    [[maybe_unused]] const int ignored = ::fchmod(fd.get(), 0777);
    clearRefusal();
    return fd;
}

// The entry name of a path inside the chat directory; nothing for any other path.
std::optional<std::string> entryName(const std::filesystem::path& path) {
    const auto name = path.filename().string();
    if (path.parent_path() != directory() || name.empty() || name == "." || name == "..") {
        return std::nullopt;
    }
    return name;
}

std::int64_t nowMilliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void save(const RemoteChatMessage& message) {
    try {
        const auto dir = openDirectory();
        const auto name = safePublicId(message.publicId) + "." + std::to_string(nowMilliseconds()) + "." +
                          message.id + "." + message.direction + ".json";
        // Whoever wrote a message is the only one who may change it: its
        // owner is what the reader goes by.
        files::writeFileAtomicallyAt(dir.get(), name, prettyJson(message.toJson()), 0644, directory());
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

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

std::vector<std::filesystem::path> messageFiles(std::string_view suffix) {
    try {
        const auto dir = openDirectory();
        // fdopendir takes over the descriptor it is given, so list a duplicate.
        files::UniqueFd listed(::fcntl(dir.get(), F_DUPFD_CLOEXEC, 0));
        std::unique_ptr<DIR, DirCloser> stream(listed ? ::fdopendir(listed.get()) : nullptr);
        if (!stream) {
            throwErrno("list directory " + directory().string());
        }
        listed.release();
        std::vector<std::string> names;
        for (errno = 0; const dirent* entry = ::readdir(stream.get()); errno = 0) {
            std::string name = entry->d_name;
            if (name.ends_with(suffix)) {
                names.push_back(std::move(name));
            }
        }
        if (errno != 0) {
            throwErrno("list directory " + directory().string());
        }
        std::sort(names.begin(), names.end());
        std::vector<std::filesystem::path> paths;
        paths.reserve(names.size());
        for (const auto& name : names) {
            paths.push_back(directory() / name);
        }
        return paths;
    } catch (const UnsafeDirectory& e) {
        noteRefusal(e);
        return {};
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
    const auto name = entryName(path);
    if (!name) {
        return std::nullopt;
    }
    try {
        // Only a regular file of the verified directory, never through a link.
        const auto bytes = files::readRegularFileAt(openDirectory().get(), *name, maximumMessageFileSize);
        if (!bytes) {
            return std::nullopt;
        }
        return RemoteChatMessage::decode(*bytes);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<OwnedMessageFile> readOwned(const std::filesystem::path& path,
                                          const std::function<bool(uid_t owner)>& acceptOwner) {
    const auto name = entryName(path);
    if (!name) {
        return std::nullopt;
    }
    try {
        files::UniqueFd file(
            ::openat(openDirectory().get(), name->c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
        struct stat st {};
        if (!file || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
            return std::nullopt;
        }
        OwnedMessageFile owned{st.st_uid, std::nullopt};
        if (acceptOwner(owned.owner)) {
            if (const auto bytes = files::readOpenedRegularFile(std::move(file), maximumMessageFileSize)) {
                try {
                    owned.message = RemoteChatMessage::decode(*bytes);
                } catch (const std::exception&) {
                }
            }
        }
        return owned;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void remove(const std::filesystem::path& path) {
    const auto name = entryName(path);
    if (!name) {
        return;
    }
    try {
        ::unlinkat(openDirectory().get(), name->c_str(), 0);
    } catch (const std::exception&) {
        // A directory that cannot be opened safely has nothing to delete.
    }
}

} // namespace RemoteChatStore
} // namespace kova
