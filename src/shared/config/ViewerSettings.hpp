#pragma once

#include "core/Json.hpp"

#include <cstdint>
#include <filesystem>
#include <string>

namespace kova {

// The connection and timing configuration of both programs, read from
// "sekwo.settings.json". A plain value: the daemon loads it once at start.
struct ViewerSettings {
    std::string serverBaseUrl;
    std::string viewerToken;
    std::int64_t auditIntervalMinutes = 360;
    std::int64_t heartbeatIntervalSeconds = 300;
    std::int64_t commandPollIntervalSeconds = 60;
    std::int64_t chatPollIntervalSeconds = 2;
    std::int64_t controlReconnectMaxSeconds = 30;
    bool notificationsEnabled = true;

    // The record the menu bar uses when no file can be loaded.
    static ViewerSettings defaults();
    static std::string defaultServerBaseUrl();
    static std::string legacyServerHost();

    // Finds, reads, migrates, validates and, where needed, rewrites the file.
    // Throws ViewerError, DecodingError or std::system_error.
    static ViewerSettings load();
    // The file's record, or the defaults when it cannot be loaded; never throws.
    static ViewerSettings loadOrDefaults();
    static ViewerSettings decode(std::string_view text, std::string_view what);

    // Normalises in place; throws ViewerError::configuration for a bad URL.
    void validate();
    void write(const std::filesystem::path& path) const;
    Json toJson() const;

    std::string normalizedServerBaseUrl() const;
    bool hasViewerToken() const;
    std::string normalizedViewerToken() const;

    bool operator==(const ViewerSettings&) const = default;

private:
    bool migrateLegacyHost();
};

} // namespace kova
