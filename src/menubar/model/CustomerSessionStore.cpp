#include "menubar/model/CustomerSessionStore.hpp"

#include "core/Errors.hpp"
#include "core/Files.hpp"
#include "core/Time.hpp"

#include <QMetaObject>
#include <QStandardPaths>

#include <cerrno>
#include <mutex>
#include <sys/stat.h>
#include <system_error>

namespace kova::menubar {
namespace {

constexpr std::string_view what = "The customer session";
// A session is a token and a small profile; anything larger is not ours.
constexpr std::size_t maxSessionFileBytes = 256 * 1024;

std::mutex& storeMutex() {
    static std::mutex mutex;
    return mutex;
}

const Json& requireCustomer(const Json& object) {
    const auto it = object.find("customer");
    if (it == object.end() || !it->is_object()) {
        throw DecodingError(std::string(what) + " could not be decoded: \"customer\" is not an object.");
    }
    return *it;
}

// "2026-03-01T14:05:09.250Z" → the whole-second text and the fraction in
// microseconds; nullopt when there is no well-formed fraction.
std::optional<std::pair<std::string, std::chrono::microseconds>> splitFraction(std::string_view text) {
    constexpr std::size_t secondsEnd = 19; // "YYYY-MM-DDTHH:MM:SS"
    if (text.size() <= secondsEnd + 1 || text[secondsEnd] != '.') {
        return std::nullopt;
    }
    std::size_t end = secondsEnd + 1;
    std::int64_t micros = 0;
    int digits = 0;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
        if (digits < 6) {
            micros = micros * 10 + (text[end] - '0');
        }
        ++digits;
        ++end;
    }
    if (digits == 0) {
        return std::nullopt;
    }
    for (int i = digits; i < 6; ++i) {
        micros *= 10;
    }
    std::string whole(text.substr(0, secondsEnd));
    whole.append(text.substr(end));
    return std::pair{std::move(whole), std::chrono::microseconds(micros)};
}

// mkdir -p where every directory it creates is 0700 (the umask is left alone:
// it is the whole process's).
void createPrivateDirectories(const std::filesystem::path& path) {
    std::filesystem::path partial;
    for (const auto& component : path) {
        partial /= component;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            throw std::system_error(errno, std::generic_category(), partial.string());
        }
    }
    if (!std::filesystem::is_directory(path)) {
        throw std::system_error(ENOTDIR, std::generic_category(), path.string());
    }
}

} // namespace

CustomerSessionState CustomerSessionState::fromJson(const Json& object) {
    if (!object.is_object()) {
        throw DecodingError(std::string(what) + " could not be decoded: a JSON object was expected.");
    }
    CustomerSessionState state;
    state.accessToken = requireString(object, "accessToken", what);
    state.expiresAt = requireString(object, "expiresAt", what);
    state.customer = CustomerProfile::fromJson(requireCustomer(object), what);
    state.lastNotificationMessageId = requireInt64(object, "lastNotificationMessageId", what);
    return state;
}

Json CustomerSessionState::toJson() const {
    return {{"accessToken", accessToken},
            {"expiresAt", expiresAt},
            {"customer", customer.toJson()},
            {"lastNotificationMessageId", lastNotificationMessageId}};
}

namespace CustomerSessionStore {

std::optional<std::filesystem::path> directory() {
    const auto base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty()) {
        return std::nullopt;
    }
    return std::filesystem::path(base.toStdString()) / "Sekwo Tarnvik";
}

std::optional<CustomerSessionState> load() {
    const std::lock_guard lock(storeMutex());
    const auto dir = directory();
    if (!dir) {
        return std::nullopt;
    }
    const auto bytes = files::readRegularFile(*dir / fileName, maxSessionFileBytes);
    if (!bytes) {
        return std::nullopt;
    }
    try {
        auto state = CustomerSessionState::fromJson(parseJson(*bytes, what));
        if (state.accessToken.empty() || isExpired(state.expiresAt)) {
            return std::nullopt;
        }
        return state;
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

void save(const CustomerSessionState& state) {
    const std::lock_guard lock(storeMutex());
    const auto dir = directory();
    if (!dir) {
        throw ViewerError::configuration("Nie udało się przygotować bezpiecznego magazynu sesji klienta.");
    }
    try {
        createPrivateDirectories(*dir);
        // It may have existed with wider permissions.
        std::filesystem::permissions(*dir, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace);
        const auto file = *dir / fileName;
        files::writeFileAtomically(file, compactJson(state.toJson()), 0600);
        std::filesystem::permissions(file,
                                     std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::replace);
    } catch (const std::exception&) {
        throw ViewerError::configuration("Nie udało się bezpiecznie zapisać sesji klienta.");
    }
}

void clear() {
    const std::lock_guard lock(storeMutex());
    if (const auto dir = directory()) {
        std::error_code ignored;
        std::filesystem::remove(*dir / fileName, ignored);
    }
}

bool isExpired(std::string_view expiresAt, std::chrono::system_clock::time_point now) {
    // Compared in microseconds: the clock's nanoseconds end in 2262, and a
    // server may well send a later expiry.
    using Micros = std::chrono::sys_time<std::chrono::microseconds>;
    std::optional<Micros> expiry;
    if (const auto split = splitFraction(expiresAt)) {
        if (const auto whole = parseIso8601(split->first)) {
            expiry = Micros(*whole) + split->second;
        }
    }
    if (!expiry) {
        if (const auto whole = parseIso8601(expiresAt)) {
            expiry = Micros(*whole);
        }
    }
    return expiry && *expiry <= std::chrono::time_point_cast<std::chrono::microseconds>(now);
}

} // namespace CustomerSessionStore
} // namespace kova::menubar
