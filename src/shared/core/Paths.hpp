#pragma once

#include <filesystem>
#include <string_view>

// Every fixed absolute location of the product, as a function of one root that
// is "/" in the product. Only tests move the root (ScopedRootOverride); the
// product reads no variable for it.
namespace kova::paths {

std::filesystem::path root();
// Maps an absolute product path such as "/Library/Logs" below the current root.
std::filesystem::path fixed(std::string_view absolutePath);

std::filesystem::path configDirectory();
std::filesystem::path configPath();
std::filesystem::path legacyConfigDirectory();
std::filesystem::path legacyConfigPath();
std::filesystem::path statePath();
std::filesystem::path legacyStatePath();
std::filesystem::path logDirectory();
std::filesystem::path fallbackLogDirectory();
std::filesystem::path runtimeDirectory();
std::filesystem::path chatDirectory();

// Test-only: points the root at a directory for the lifetime of the object.
class ScopedRootOverride {
public:
    explicit ScopedRootOverride(std::filesystem::path root);
    ~ScopedRootOverride();
    ScopedRootOverride(const ScopedRootOverride&) = delete;
    ScopedRootOverride& operator=(const ScopedRootOverride&) = delete;

private:
    std::filesystem::path previous_;
};

} // namespace kova::paths
