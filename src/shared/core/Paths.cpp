#include "core/Paths.hpp"

#include <mutex>

namespace kova::paths {
namespace {

std::mutex& rootMutex() {
    static std::mutex m;
    return m;
}

std::filesystem::path& rootStorage() {
    static std::filesystem::path r = "/";
    return r;
}

} // namespace

std::filesystem::path root() {
    std::lock_guard lock(rootMutex());
    return rootStorage();
}

std::filesystem::path fixed(std::string_view absolutePath) {
    while (!absolutePath.empty() && absolutePath.front() == '/') {
        absolutePath.remove_prefix(1);
    }
    return root() / std::filesystem::path(absolutePath);
}

std::filesystem::path configDirectory() {
    return fixed("/Library/Application Support/Sekwo Tarnvik");
}
std::filesystem::path configPath() {
    return fixed("/Library/Application Support/Sekwo Tarnvik/sekwo.settings.json");
}
std::filesystem::path legacyConfigDirectory() {
    return fixed("/Library/Application Support/Kova-Desk Viewer");
}
std::filesystem::path legacyConfigPath() {
    return fixed("/Library/Application Support/Kova-Desk Viewer/viewer.settings.json");
}
std::filesystem::path statePath() {
    return fixed("/Library/Application Support/Sekwo Tarnvik/sekwo.state.json");
}
std::filesystem::path legacyStatePath() {
    return fixed("/Library/Application Support/Kova-Desk Viewer/viewer.state.json");
}
std::filesystem::path logDirectory() {
    return fixed("/Library/Logs/Sekwo Tarnvik");
}
std::filesystem::path fallbackLogDirectory() {
    return fixed("/tmp/Sekwo Tarnvik");
}
std::filesystem::path runtimeDirectory() {
    return fixed("/Library/Application Support/Sekwo Tarnvik/runtime");
}
std::filesystem::path chatDirectory() {
    return fixed("/Users/Shared/Sekwo Tarnvik/remote-chat");
}

ScopedRootOverride::ScopedRootOverride(std::filesystem::path newRoot) {
    std::lock_guard lock(rootMutex());
    previous_ = rootStorage();
    rootStorage() = std::move(newRoot);
}

ScopedRootOverride::~ScopedRootOverride() {
    std::lock_guard lock(rootMutex());
    rootStorage() = previous_;
}

} // namespace kova::paths
