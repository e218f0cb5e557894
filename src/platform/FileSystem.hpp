#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace kova::platform {

// What the system tells about the volume an entry of the volumes folder
// stands for. Every value it could not tell is absent.
struct VolumeDetails {
    std::optional<std::string> localizedName;
    std::optional<bool> isDirectory;
    std::optional<std::int64_t> totalBytes;
    std::optional<std::int64_t> availableBytes;
};

VolumeDetails volumeDetails(const std::filesystem::path& path);

// Renames `from` to `to` only if nothing exists at `to`, in one step, so a
// file that appears there meanwhile is never replaced. Returns 0 or the
// errno (EEXIST when the name is taken).
int renameWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to);
// The same for two entries of one open directory.
int renameWithoutReplacingAt(int directoryFd, const std::string& from, const std::string& to);

} // namespace kova::platform
