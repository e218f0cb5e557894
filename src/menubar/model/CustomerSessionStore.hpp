#pragma once

#include "api/CustomerRecords.hpp"
#include "core/Json.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kova::menubar {

// The customer-panel session kept between launches, with the id of the last
// ticket message already announced.
struct CustomerSessionState {
    std::string accessToken; // secret: never logged
    std::string expiresAt;   // the server's ISO 8601 text
    CustomerProfile customer;
    std::int64_t lastNotificationMessageId = 0;

    // Every key is required; throws DecodingError naming keys, never values.
    static CustomerSessionState fromJson(const Json& object);
    Json toJson() const;
    bool operator==(const CustomerSessionState&) const = default;
};

// "customer-session.json" in "Sekwo Tarnvik" of the user's application-data
// directory (Application Support on macOS, the XDG data home on Linux):
// directory 0700, file 0600. One process-wide lock serialises every call,
// so the login task, the poll task and the window may use it from any
// thread.
namespace CustomerSessionStore {

inline constexpr char fileName[] = "customer-session.json";

// nullopt when the platform names no application-data directory.
std::optional<std::filesystem::path> directory();
// A still-valid session; nullopt for a missing, unreadable, undecodable,
// token-less or expired file (which stays where it is). Never throws.
std::optional<CustomerSessionState> load();
// Throws ViewerError::configuration with a Polish message.
void save(const CustomerSessionState& state);
// Deletes the file; a missing file or any error is ignored.
void clear();
// Expired when the time, parsed with or without fractional seconds, is at or
// before now; a time that does not parse never expires.
bool isExpired(std::string_view expiresAt,
               std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

} // namespace CustomerSessionStore
} // namespace kova::menubar
