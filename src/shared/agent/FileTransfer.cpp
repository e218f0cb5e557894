#include "agent/FileTransfer.hpp"

#include "core/Base64.hpp"
#include "core/Errors.hpp"
#include "core/Files.hpp"
#include "core/Paths.hpp"
#include "core/Payload.hpp"
#include "core/Strings.hpp"
#include "core/Time.hpp"
#include "core/Uuid.hpp"
#include "platform/Collation.hpp"
#include "platform/FileSystem.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <queue>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace kova::FileTransfer {
namespace {

[[noreturn]] void throwErrno(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

DomainError transferError(int code, std::string description) {
    return DomainError(errorDomain, code, std::move(description));
}

std::string isoTime(std::time_t seconds) {
    return formatIso8601(Timestamp(std::chrono::seconds(seconds)));
}

// The absolute, normalised form a path is reported in ("/Users/" -> "/Users").
std::filesystem::path absolutePath(const std::string& path) {
    std::error_code ec;
    auto absolute = std::filesystem::absolute(path, ec);
    if (ec) {
        absolute = path;
    }
    auto normal = absolute.lexically_normal();
    if (normal.has_relative_path() && normal.filename().empty()) {
        normal = normal.parent_path();
    }
    return normal;
}

std::string childPath(const std::filesystem::path& directory, const std::string& name) {
    const auto& parent = directory.native();
    return parent.ends_with('/') ? parent + name : parent + "/" + name;
}

class Directory {
public:
    explicit Directory(const std::filesystem::path& path)
        : handle_(::opendir(path.c_str()), [](DIR* d) {
              if (d != nullptr) {
                  ::closedir(d);
              }
          }) {}
    bool isOpen() const { return handle_ != nullptr; }
    int fd() const { return ::dirfd(handle_.get()); }
    // The next name other than "." and ".."; nullopt at the end.
    std::optional<std::string> next() {
        while (const dirent* entry = ::readdir(handle_.get())) {
            const std::string_view name = entry->d_name;
            if (name != "." && name != "..") {
                return std::string(name);
            }
        }
        return std::nullopt;
    }

private:
    std::unique_ptr<DIR, void (*)(DIR*)> handle_;
};

struct Entry {
    std::string name;
    bool isDirectory = false;
    std::optional<struct stat> info; // absent when the entry could not be examined
};

// Orders entries: directories first, then by name as the user's language
// sorts it; the byte order settles names that collate equal.
class EntryOrder {
public:
    explicit EntryOrder(const platform::NameCollator& collator) : collator_(&collator) {}
    bool operator()(const Entry& a, const Entry& b) const {
        if (a.isDirectory != b.isDirectory) {
            return a.isDirectory;
        }
        const int byName = collator_->compare(a.name, b.name);
        return byName != 0 ? byName < 0 : a.name < b.name;
    }

private:
    const platform::NameCollator* collator_;
};

// The first `limit` entries of a directory in listing order. Only that many
// are held at a time, however large the directory.
std::vector<Entry> firstEntries(const std::filesystem::path& path, std::size_t limit) {
    Directory directory(path);
    if (!directory.isOpen()) {
        throwErrno(errno, "read directory " + path.string());
    }
    const auto collator = platform::localizedCaseInsensitiveCollator();
    const EntryOrder order(*collator);
    // A max-heap on the order: its top is the last entry kept so far.
    std::priority_queue<Entry, std::vector<Entry>, EntryOrder> kept(order);
    while (auto name = directory.next()) {
        Entry entry;
        entry.name = std::move(*name);
        struct stat st {};
        if (::fstatat(directory.fd(), entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            entry.info = st;
            entry.isDirectory = S_ISDIR(st.st_mode);
        }
        if (kept.size() < limit) {
            kept.push(std::move(entry));
        } else if (order(entry, kept.top())) {
            kept.pop();
            kept.push(std::move(entry));
        }
    }
    std::vector<Entry> entries;
    entries.reserve(kept.size());
    while (!kept.empty()) {
        entries.push_back(kept.top());
        kept.pop();
    }
    std::reverse(entries.begin(), entries.end());
    return entries;
}

Json entryObject(const std::filesystem::path& directory, const Entry& entry) {
    Json item = {{"name", entry.name},
                 {"path", childPath(directory, entry.name)},
                 {"kind", entry.isDirectory ? "folder" : "file"},
                 {"is_directory", entry.isDirectory}};
    if (entry.info) {
        if (!entry.isDirectory) {
            item["size_bytes"] = static_cast<std::int64_t>(entry.info->st_size);
        }
        item["modified_at"] = isoTime(entry.info->st_mtime);
        item["is_symlink"] = S_ISLNK(entry.info->st_mode);
    }
    return item;
}

struct FixedRoot {
    const char* path;
    const char* name;
    const char* kind;
    const char* label;
};

constexpr std::array<FixedRoot, 5> fixedRoots = {{
    {"/", "Macintosh HD", "drive", "System"},
    {"/Users", "Uzytkownicy", "folder", "Katalogi domowe"},
    {"/Applications", "Aplikacje", "folder", "Programy"},
    {"/Volumes", "Woluminy", "folder", "Dyski i udzialy"},
    {"/tmp", "Tymczasowe", "folder", "Folder tymczasowy"},
}};

bool isRootListingWord(const std::string& path) {
    const auto lower = asciiLowercased(path);
    return path.empty() || lower == "roots" || lower == "drives" || lower == "volumes";
}

// The volumes folder's visible entries, sorted by name.
std::vector<std::string> volumeNames() {
    Directory directory(paths::fixed("/Volumes"));
    std::vector<std::string> names;
    if (!directory.isOpen()) {
        return names;
    }
    while (auto name = directory.next()) {
        if (!name->starts_with('.')) {
            names.push_back(std::move(*name));
        }
    }
    const auto collator = platform::localizedCaseInsensitiveCollator();
    std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
        const int byName = collator->compare(a, b);
        return byName != 0 ? byName < 0 : a < b;
    });
    return names;
}

bool isTheRootVolume(const std::filesystem::path& path) {
    // The boot volume's entry links back to "/", which is already listed.
    std::error_code ec;
    const auto resolved = std::filesystem::canonical(path, ec);
    if (ec) {
        return false;
    }
    const auto root = std::filesystem::canonical(paths::fixed("/"), ec);
    return !ec && resolved == root;
}

// A path whose links root may follow, opened up to its last component: the
// directory that holds it, and its name ("." for "/" itself).
struct ResolvedPath {
    files::UniqueFd directory;
    std::string name;
};

constexpr int maximumLinksFollowed = 32;

std::string joined(const std::string& directory, const std::string& name) {
    return directory.ends_with('/') ? directory + name : directory + "/" + name;
}

// Walks an absolute path from "/" one component at a time through open
// directories, never through the path text again, so nothing renamed
// meanwhile is followed. A symbolic link on the way is followed only when
// root owns it (macOS's own "/tmp", "/var" and "/etc"): a link another user
// owns could point root's write or read anywhere, so it is refused. The last
// component is left as it is unless followLast; with createMissing, missing
// directories on the way are made.
ResolvedPath resolvePath(const std::filesystem::path& absolute, bool followLast, bool createMissing) {
    std::deque<std::string> pending;
    for (const auto& part : absolute.relative_path()) {
        if (!part.empty()) {
            pending.push_back(part.string());
        }
    }
    const auto openRoot = [] {
        files::UniqueFd root(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!root) {
            throwErrno(errno, "open directory /");
        }
        return root;
    };
    files::UniqueFd directory = openRoot();
    std::string reached = "/";
    int linksFollowed = 0;
    // Each pass consumes a component, expands a bounded number of links, makes
    // a directory or sees an entry change under it: this bounds a racing change.
    for (int pass = 0; !pending.empty(); ++pass) {
        if (pass > 4096) {
            throwErrno(ELOOP, "resolve " + absolute.string());
        }
        const std::string name = pending.front();
        const bool last = pending.size() == 1;
        if (name == ".") {
            pending.pop_front();
            continue;
        }
        if (name == "..") {
            files::UniqueFd parent(::openat(directory.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!parent) {
                throwErrno(errno, "open directory " + reached);
            }
            directory = std::move(parent);
            reached = std::filesystem::path(reached).parent_path().string();
            pending.pop_front();
            continue;
        }
        struct stat st {};
        if (::fstatat(directory.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            const int error = errno;
            if (error == ENOENT && last) {
                break; // the entry to create, or a missing file to report on opening it
            }
            if (error == ENOENT && createMissing) {
                if (::mkdirat(directory.get(), name.c_str(), 0777) != 0 && errno != EEXIST) {
                    throwErrno(errno, "create directory " + joined(reached, name));
                }
                continue;
            }
            throwErrno(error, "open directory " + joined(reached, name));
        }
        if (S_ISLNK(st.st_mode) && (!last || followLast)) {
            if (st.st_uid != 0) {
                throw transferError(403, "Path leads through a symbolic link that belongs to user " +
                                             std::to_string(st.st_uid) +
                                             ", not to root: " + joined(reached, name));
            }
            if (++linksFollowed > maximumLinksFollowed) {
                throwErrno(ELOOP, "resolve " + absolute.string());
            }
            std::string target(PATH_MAX, '\0');
            const ssize_t length = ::readlinkat(directory.get(), name.c_str(), target.data(), target.size());
            if (length < 0 || static_cast<std::size_t>(length) == target.size()) {
                throwErrno(length < 0 ? errno : ENAMETOOLONG, "read link " + joined(reached, name));
            }
            target.resize(static_cast<std::size_t>(length));
            pending.pop_front();
            const std::filesystem::path targetPath(target);
            std::vector<std::string> parts;
            for (const auto& part : targetPath.relative_path()) {
                if (!part.empty()) {
                    parts.push_back(part.string());
                }
            }
            pending.insert(pending.begin(), parts.begin(), parts.end());
            if (targetPath.is_absolute()) {
                directory = openRoot();
                reached = "/";
            }
            continue;
        }
        if (last) {
            break;
        }
        files::UniqueFd next(
            ::openat(directory.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            if (errno == ELOOP) {
                continue; // became a link since it was examined: look again
            }
            throwErrno(errno, "open directory " + joined(reached, name));
        }
        directory = std::move(next);
        reached = joined(reached, name);
        pending.pop_front();
    }
    return {std::move(directory), pending.empty() ? std::string(".") : pending.front()};
}

// Writes to a temporary file created exclusively beside the target (in the
// same open directory), then moves it into place; the temporary file never
// outlives a failure.
class UploadFile {
public:
    UploadFile(int directoryFd, const std::string& name, std::string shownDirectory)
        : directoryFd_(directoryFd), name_("." + name + "." + makeCompactUuid() + ".upload"),
          shown_(joined(shownDirectory, name_)) {
        fd_ =
            ::openat(directoryFd_, name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            throwErrno(errno, "create " + shown_);
        }
    }
    ~UploadFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        if (!placed_) {
            ::unlinkat(directoryFd_, name_.c_str(), 0);
        }
    }
    UploadFile(const UploadFile&) = delete;
    UploadFile& operator=(const UploadFile&) = delete;

    void write(std::string_view bytes) {
        if (::fchmod(fd_, 0666 & ~files::processUmask()) != 0) {
            throwErrno(errno, "chmod " + shown_);
        }
        std::size_t written = 0;
        while (written < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + written, bytes.size() - written);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                throwErrno(errno, "write " + shown_);
            }
            written += static_cast<std::size_t>(n);
        }
        if (::fsync(fd_) != 0) {
            throwErrno(errno, "fsync " + shown_);
        }
        const int fd = std::exchange(fd_, -1);
        if (::close(fd) != 0) {
            throwErrno(errno, "close " + shown_);
        }
    }

    // 0 or the errno of the rename.
    int place(const std::string& target, bool replace) {
        const int error =
            replace ? (::renameat(directoryFd_, name_.c_str(), directoryFd_, target.c_str()) == 0 ? 0 : errno)
                    : platform::renameWithoutReplacingAt(directoryFd_, name_, target);
        placed_ = error == 0;
        return error;
    }

private:
    int directoryFd_;
    std::string name_;
    std::string shown_;
    int fd_ = -1;
    bool placed_ = false;
};

} // namespace

Json listFiles(const Json& payload) {
    const auto* pathValue = payloadValue(payload, "path");
    const auto path = trimmed(pathValue && pathValue->is_string() ? pathValue->get<std::string>() : "/");
    const auto limit = payloadInt(payloadValue(payload, "max_items"), 500, 10, 2000);
    if (isRootListingWord(path)) {
        return listFileRoots(limit);
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        throw transferError(404, "Directory not found: " + path);
    }
    const auto directory = absolutePath(path);
    const auto entries = firstEntries(directory, static_cast<std::size_t>(limit));
    Json items = Json::array();
    for (const auto& entry : entries) {
        items.push_back(entryObject(directory, entry));
    }
    const bool isRoot = directory == directory.root_path();
    return Json{{"platform", "macos"},
                {"path", directory.string()},
                {"parent_path", isRoot ? Json(nullptr) : Json(directory.parent_path().string())},
                {"items", std::move(items)},
                {"item_count", entries.size()},
                {"max_items", limit},
                {"collected_at", formatIso8601(nowSeconds())}};
}

Json listFileRoots(std::int64_t maxItems) {
    Json items = Json::array();
    std::vector<std::string> listed;
    for (const auto& root : fixedRoots) {
        struct stat st {};
        if (std::find(listed.begin(), listed.end(), root.path) != listed.end() ||
            ::stat(paths::fixed(root.path).c_str(), &st) != 0) {
            continue;
        }
        listed.emplace_back(root.path);
        items.push_back({{"name", root.name},
                         {"path", root.path},
                         {"kind", root.kind},
                         {"label", root.label},
                         {"is_directory", S_ISDIR(st.st_mode)},
                         {"is_ready", true}});
    }
    for (const auto& name : volumeNames()) {
        const auto location = paths::fixed("/Volumes/" + name);
        if (isTheRootVolume(location)) {
            continue;
        }
        const auto details = platform::volumeDetails(location);
        Json item = {{"name", details.localizedName.value_or(name)},
                     {"path", "/Volumes/" + name},
                     {"kind", "drive"},
                     {"label", "Wolumin"},
                     {"is_directory", details.isDirectory.value_or(true)},
                     {"is_ready", true}};
        if (details.totalBytes) {
            item["size_bytes"] = *details.totalBytes;
        }
        if (details.availableBytes) {
            item["free_bytes"] = *details.availableBytes;
        }
        items.push_back(std::move(item));
    }
    if (items.size() > static_cast<std::size_t>(maxItems)) {
        items.erase(items.begin() + maxItems, items.end());
    }
    return Json{{"platform", "macos"},        {"path", ""},
                {"parent_path", nullptr},     {"items", items},
                {"item_count", items.size()}, {"max_items", maxItems},
                {"root_kind", "volumes"},     {"collected_at", formatIso8601(nowSeconds())}};
}

Json downloadFile(const Json& payload) {
    const auto* pathValue = payloadValue(payload, "path");
    if (pathValue == nullptr || !pathValue->is_string() || trimmed(pathValue->get<std::string>()).empty()) {
        throw transferError(400, "Path cannot be empty.");
    }
    const auto path = pathValue->get<std::string>();
    const auto limit = payloadInt(payloadValue(payload, "max_bytes"), 10485760, 1024, 26214400);
    const auto tooLarge = [&](std::int64_t size) {
        return transferError(413, "File is too large: " + std::to_string(size) + " bytes, limit " +
                                      std::to_string(limit) + " bytes.");
    };

    // Non-blocking, so a FIFO without a writer cannot hold the command task.
    const auto resolved = resolvePath(absolutePath(path), true, false);
    const files::UniqueFd file(::openat(resolved.directory.get(), resolved.name.c_str(),
                                        O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    const int fd = file.get();
    if (fd < 0) {
        throwErrno(errno, "open " + path);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        throwErrno(errno, "stat " + path);
    }
    if (S_ISDIR(st.st_mode)) {
        throwErrno(EISDIR, "read " + path);
    }
    if (path.ends_with('/')) {
        throwErrno(ENOTDIR, "open " + path);
    }
    // The size is known before a byte is read, so a huge file is refused at once.
    if (S_ISREG(st.st_mode) && st.st_size > limit) {
        throw tooLarge(st.st_size);
    }
    std::string bytes;
    bytes.reserve(S_ISREG(st.st_mode) ? static_cast<std::size_t>(st.st_size) : 0);
    std::array<char, 65536> buffer;
    for (;;) {
        // One byte past the limit is enough to tell (a file that grew, a device).
        const auto room = static_cast<std::size_t>(limit) + 1 - bytes.size();
        const ssize_t n = ::read(fd, buffer.data(), std::min(buffer.size(), room));
        if (n == 0) {
            break;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwErrno(errno, "read " + path);
        }
        bytes.append(buffer.data(), static_cast<std::size_t>(n));
        if (bytes.size() > static_cast<std::size_t>(limit)) {
            throw tooLarge(std::max<std::int64_t>(st.st_size, static_cast<std::int64_t>(bytes.size())));
        }
    }
    const auto absolute = absolutePath(path);
    return Json{{"path", absolute.string()},
                {"file_name", absolute.filename().string()},
                {"size_bytes", bytes.size()},
                {"content_base64", base64Encoded(bytes)},
                {"collected_at", formatIso8601(nowSeconds())}};
}

Json uploadFile(const Json& payload) {
    const auto* targetValue = payloadValue(payload, "target_path");
    const auto* contentValue = payloadValue(payload, "content_base64");
    std::optional<std::string> content;
    if (contentValue != nullptr && contentValue->is_string()) {
        content = base64DecodeStrict(contentValue->get_ref<const std::string&>());
    }
    if (targetValue == nullptr || !targetValue->is_string() ||
        trimmed(targetValue->get<std::string>()).empty() || !content) {
        throw transferError(400, "Target path and content are required.");
    }
    const auto target = targetValue->get<std::string>();
    const bool overwrite = payloadBool(payloadValue(payload, "overwrite"), false);
    const bool createDirectories = payloadBool(payloadValue(payload, "create_directories"), true);

    const auto path = absolutePath(target);
    if (target.ends_with('/') || path.filename().empty()) {
        throwErrno(EISDIR, "write " + target);
    }
    // The target itself is never followed: a link there, even a dangling
    // one, is an existing file, and overwriting replaces the link.
    const auto resolved = resolvePath(path, false, createDirectories);
    struct stat st {};
    if (::fstatat(resolved.directory.get(), resolved.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        !overwrite) {
        throw transferError(409, "File already exists: " + target);
    }
    UploadFile upload(resolved.directory.get(), resolved.name, path.parent_path().string());
    upload.write(*content);
    if (const int error = upload.place(resolved.name, overwrite); error != 0) {
        if (error == EEXIST) {
            throw transferError(409, "File already exists: " + target); // created meanwhile
        }
        throwErrno(error, "rename to " + target);
    }
    return Json{{"target_path", path.string()},
                {"size_bytes", content->size()},
                {"written_at", formatIso8601(nowSeconds())}};
}

} // namespace kova::FileTransfer
