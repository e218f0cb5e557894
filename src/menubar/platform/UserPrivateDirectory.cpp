#include "menubar/platform/UserPrivateDirectory.hpp"

#include <QStandardPaths>

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace kova::menubar {
namespace {

// The application's directory in the user's data directory (the customer
// session's too): made 0700 with any missing parents, and closed to others
// again when it is the user's own but was opened up.
std::optional<std::filesystem::path> dataDirectory() {
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty() || !base.startsWith(QLatin1Char('/'))) {
        return std::nullopt;
    }
    const auto path = std::filesystem::path(base.toStdString()) / "Sekwo Tarnvik";
    std::filesystem::path partial;
    for (const auto& component : path) {
        partial /= component;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            return std::nullopt;
        }
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::getuid() &&
        (info.st_mode & 077) != 0) {
        [[maybe_unused]] const int ignored = ::chmod(path.c_str(), 0700);
    }
    return path;
}

} // namespace

bool isPrivateDirectory(const std::filesystem::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::getuid() &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::optional<std::filesystem::path> userPrivateDirectory() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
        if (isPrivateDirectory(runtime)) {
            return std::filesystem::path(runtime);
        }
    }
    if (auto data = dataDirectory(); data && isPrivateDirectory(*data)) {
        return data;
    }
    return std::nullopt;
}

} // namespace kova::menubar
