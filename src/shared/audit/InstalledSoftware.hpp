#pragma once

#include "core/Json.hpp"
#include "core/Stop.hpp"
#include "process/ProcessRunner.hpp"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kova::audit {

// One application bundle as read from disk, before its publisher is known.
struct BundleRecord {
    std::filesystem::path path;
    std::string name;
    std::optional<std::string> version;
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> publisher; // from the bundle itself, when it names one
    std::optional<std::string> installedAt;
};

// The application roots in scan order, below the current file-system root.
std::vector<std::filesystem::path> softwareRoots();

// Every application bundle below the roots, in walk order, one per name and
// version (the first found wins); hidden files and the insides of packages
// are skipped. The publisher is filled where the identifier, the location or
// the Info.plist copyright texts decide it.
std::vector<BundleRecord> scanApplicationBundles(const std::vector<std::filesystem::path>& roots);

// The publisher from the rules that need no tool, given the Info.plist
// dictionary (steps that come before Spotlight and the code signature).
std::optional<std::string> localSoftwarePublisher(const std::filesystem::path& bundle, const Json& info,
                                                  const std::optional<std::string>& bundleIdentifier);

// "yyyy-MM-dd" in the process's time zone.
std::string localDateText(std::chrono::system_clock::time_point time);

// The "software" list: the bundles with publishers filled in from Spotlight,
// the code signature or the identifier (the tools run on up to `workers`
// threads at once), sorted by name.
Json installedSoftware(ProcessRunner& runner, std::size_t workers, StopToken stop = {});

} // namespace kova::audit
