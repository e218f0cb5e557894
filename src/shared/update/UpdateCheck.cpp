#include "update/UpdateCheck.hpp"

#include "core/Errors.hpp"
#include "core/Files.hpp"
#include "core/Json.hpp"
#include "core/Paths.hpp"
#include "core/Strings.hpp"
#include "core/ToolPaths.hpp"
#include "update/UpdaterScript.hpp"
#include "update/ViewerUpdateCoordinator.hpp"

#include <algorithm>
#include <boost/url/parse.hpp>
#include <cstdlib>
#include <limits>
#include <memory>
#include <plist/plist.h>
#include <stdexcept>

namespace kova::UpdateCheck {
namespace {

// A piece that is not a whole decimal number (with an optional sign) counts as 0.
std::int64_t versionPiece(std::string_view piece) {
    std::size_t at = 0;
    bool negative = false;
    if (at < piece.size() && (piece[at] == '+' || piece[at] == '-')) {
        negative = piece[at] == '-';
        ++at;
    }
    if (at == piece.size()) {
        return 0;
    }
    std::int64_t value = 0;
    for (; at < piece.size(); ++at) {
        const char c = piece[at];
        if (c < '0' || c > '9') {
            return 0;
        }
        const int digit = c - '0';
        if (value > (std::numeric_limits<std::int64_t>::max() - digit) / 10) {
            return 0;
        }
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

std::vector<std::int64_t> versionPieces(std::string_view version) {
    std::vector<std::int64_t> pieces;
    while (true) {
        const auto dot = version.find('.');
        const auto piece = version.substr(0, dot);
        if (!piece.empty()) {
            pieces.push_back(versionPiece(piece));
        }
        if (dot == std::string_view::npos) {
            return pieces;
        }
        version.remove_prefix(dot + 1);
    }
}

struct HttpsUrl {
    std::string host; // lower case
    std::optional<std::string> port;
    std::string path; // decoded
};

std::optional<HttpsUrl> parseHttpsUrl(std::string_view text) {
    const auto parsed = boost::urls::parse_absolute_uri(text);
    if (!parsed || asciiLowercased(parsed->scheme()) != "https" || parsed->encoded_host().empty()) {
        return std::nullopt;
    }
    HttpsUrl url;
    url.host =
        asciiLowercased(std::string_view(parsed->encoded_host().data(), parsed->encoded_host().size()));
    if (parsed->has_port()) {
        url.port = std::string(parsed->port());
    }
    url.path = parsed->path();
    return url;
}

// The extension of the last path component, as the platform's URL reports it.
std::string pathExtension(std::string path) {
    while (!path.empty() && path.back() == '/') {
        path.pop_back();
    }
    const auto name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        return {};
    }
    return name.substr(dot + 1);
}

bool samePort(const std::string& a, const std::string& b) {
    const auto number = [](const std::string& p) -> std::optional<long> {
        if (p.empty() || p.size() > 5 ||
            !std::all_of(p.begin(), p.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return std::nullopt;
        }
        return std::stol(p);
    };
    const auto na = number(a), nb = number(b);
    return na && nb ? *na == *nb : a == b;
}

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using Plist = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistDeleter>;

} // namespace

std::filesystem::path updateLogPath() {
    return paths::logDirectory() / "sekwo-update.log";
}
std::filesystem::path updatesDirectory() {
    return paths::configDirectory() / "updates";
}
std::filesystem::path updaterScriptPath() {
    return ViewerUpdateCoordinator::runtimeDirectory() / "sekwo-updater.sh";
}
std::filesystem::path updaterJobPropertyListPath() {
    return ViewerUpdateCoordinator::runtimeDirectory() / (std::string(updaterJobLabel) + ".plist");
}

std::string safeVersion(std::string_view version) {
    std::string safe(version);
    std::replace(safe.begin(), safe.end(), '/', '_');
    return safe;
}

std::filesystem::path packagePath(std::string_view version) {
    return updatesDirectory() / ("Sekwo-Tarnvik-macOS-" + safeVersion(version) + ".pkg");
}

bool isVersionNewerThan(std::string_view a, std::string_view b) {
    const auto left = versionPieces(a);
    const auto right = versionPieces(b);
    for (std::size_t i = 0; i < std::max(left.size(), right.size()); ++i) {
        const auto l = i < left.size() ? left[i] : 0;
        const auto r = i < right.size() ? right[i] : 0;
        if (l != r) {
            return l > r;
        }
    }
    return false;
}

std::string validatedUpdatePackageUrl(const ViewerUpdateManifest& manifest, std::string_view serverBaseUrl) {
    const auto package = parseHttpsUrl(manifest.url);
    if (!package) {
        throw ViewerError::invalidResponse("Update manifest has invalid package URL.");
    }
    const auto server = parseHttpsUrl(trimmedTrailingSlash(trimmed(serverBaseUrl)));
    if (!server) {
        throw ViewerError::configuration("serverBaseUrl must be a valid HTTPS URL.");
    }
    if (package->host != server->host) {
        throw ViewerError::invalidResponse("Update package host is not trusted.");
    }
    if (server->port && !(package->port && samePort(*package->port, *server->port))) {
        throw ViewerError::invalidResponse("Update package port is not trusted.");
    }
    if (asciiLowercased(pathExtension(package->path)) != "pkg") {
        throw ViewerError::invalidResponse("Update package must be a .pkg file.");
    }
    return manifest.url;
}

std::string validatedSha256(const std::optional<std::string>& sha256) {
    auto hash = trimmed(sha256.value_or(""));
    const bool valid =
        hash.size() == 64 && std::all_of(hash.begin(), hash.end(), [](char c) {
            return std::string_view("0123456789abcdefABCDEF").find(c) != std::string_view::npos;
        });
    if (!valid) {
        throw ViewerError::invalidResponse("Update manifest must include a valid SHA-256 hash.");
    }
    return asciiLowercased(hash);
}

std::int64_t validatedPackageSize(const std::optional<std::int64_t>& sizeBytes) {
    if (!sizeBytes || *sizeBytes < 1 || *sizeBytes > maximumPackageSize) {
        throw ViewerError::invalidResponse("Update manifest has invalid package size.");
    }
    return *sizeBytes;
}

std::string updaterJobPropertyList(const std::string& scriptPath, const std::string& logPath) {
    Plist job(plist_new_dict());
    plist_dict_set_item(job.get(), "Label", plist_new_string(std::string(updaterJobLabel).c_str()));
    plist_t arguments = plist_new_array();
    plist_array_append_item(arguments, plist_new_string(tools::bash));
    plist_array_append_item(arguments, plist_new_string(scriptPath.c_str()));
    plist_dict_set_item(job.get(), "ProgramArguments", arguments);
    plist_dict_set_item(job.get(), "RunAtLoad", plist_new_bool(1));
    plist_dict_set_item(job.get(), "KeepAlive", plist_new_bool(0));
    plist_dict_set_item(job.get(), "ProcessType", plist_new_string("Background"));
    plist_dict_set_item(job.get(), "AbandonProcessGroup", plist_new_bool(1));
    plist_dict_set_item(job.get(), "StandardOutPath", plist_new_string(logPath.c_str()));
    plist_dict_set_item(job.get(), "StandardErrorPath", plist_new_string(logPath.c_str()));
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(job.get(), &xml, &length);
    if (xml == nullptr) {
        throw std::runtime_error("Could not serialise the macOS updater job property list.");
    }
    std::string text(xml, length);
    plist_to_xml_free(xml);
    return text;
}

std::filesystem::path backupRoot() {
    return paths::configDirectory() / "update-backups";
}

std::optional<UnconsumedBackup> unconsumedBackup() {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(backupRoot(), ec))) {
        return std::nullopt;
    }
    std::vector<fs::path> complete;
    for (fs::directory_iterator it(backupRoot(), ec), end; !ec && it != end; it.increment(ec)) {
        const auto& dir = it->path();
        std::error_code ignored;
        if (fs::is_directory(fs::symlink_status(dir, ignored)) &&
            fs::is_regular_file(fs::symlink_status(dir / backupCompleteMarker, ignored))) {
            complete.push_back(dir);
        }
    }
    if (complete.empty()) {
        return std::nullopt;
    }
    // The updater keeps at most one; the name order only makes the choice stable.
    std::sort(complete.begin(), complete.end());
    UnconsumedBackup backup{complete.front(), std::nullopt, false};
    if (const auto text = files::readRegularFile(backup.directory / backupCompleteMarker, 4096, false)) {
        try {
            if (const auto json = parseJson(*text, "The backup marker"); json.is_string()) {
                backup.version = json.get<std::string>();
            }
        } catch (const DecodingError&) {
        }
    }
    backup.restoreAttempted =
        fs::exists(fs::symlink_status(backup.directory / backupRestoreAttemptedMarker, ec));
    return backup;
}

} // namespace kova::UpdateCheck
