#include "audit/InstalledSoftware.hpp"

#include "audit/Concurrency.hpp"
#include "audit/PropertyList.hpp"
#include "audit/SoftwarePublisher.hpp"
#include "audit/ToolOutput.hpp"
#include "core/Paths.hpp"
#include "core/ToolPaths.hpp"
#include "platform/SystemFacts.hpp"

#include <algorithm>
#include <array>
#include <ctime>
#include <set>

namespace kova::audit {
namespace {

// Directories the system presents as single files; the walk lists them but
// does not go inside.
bool isPackageExtension(const std::string& extension) {
    static const std::set<std::string> packages = {
        ".app",           ".appex",       ".bundle",     ".component", ".docset",
        ".framework",     ".kext",        ".mdimporter", ".mpkg",      ".musiclibrary",
        ".photoslibrary", ".pkg",         ".playground", ".plugin",    ".prefPane",
        ".qlgenerator",   ".rtfd",        ".saver",      ".service",   ".wdgt",
        ".xcodeproj",     ".xcworkspace", ".xpc"};
    return packages.contains(extension);
}

std::optional<std::string> stringValue(const Json& info, const char* key) {
    const auto it = info.find(key);
    if (it == info.end() || !it->is_string()) {
        return std::nullopt;
    }
    return it->get<std::string>();
}

Json readInfoDictionary(const std::filesystem::path& bundle) {
    for (const char* relative : {"Contents/Info.plist", "Info.plist"}) {
        if (auto info = readPropertyList(bundle / relative); info && info->is_object()) {
            return std::move(*info);
        }
    }
    return Json::object();
}

BundleRecord readBundle(const std::filesystem::path& bundle) {
    const Json info = readInfoDictionary(bundle);
    BundleRecord record;
    record.path = bundle;
    record.name = stringValue(info, "CFBundleDisplayName")
                      .value_or(stringValue(info, "CFBundleName").value_or(bundle.stem().string()));
    record.version = stringValue(info, "CFBundleShortVersionString");
    if (!record.version) {
        record.version = stringValue(info, "CFBundleVersion");
    }
    record.bundleIdentifier = stringValue(info, "CFBundleIdentifier");
    record.publisher = localSoftwarePublisher(bundle, info, record.bundleIdentifier);
    if (const auto created = platform::fileCreationTime(bundle)) {
        record.installedAt = localDateText(*created);
    }
    return record;
}

std::optional<std::string> toolPublisher(ProcessRunner& runner, const BundleRecord& record, StopToken stop) {
    const std::string path = record.path.string();
    if (const auto output = combinedToolOutput(
            runner, tools::mdls, {"-raw", "-name", "kMDItemAuthors", "-name", "kMDItemCopyright", path},
            stop)) {
        if (auto publisher = parseSpotlightPublisher(*output)) {
            return publisher;
        }
    }
    if (const auto output = combinedToolOutput(runner, tools::codesign, {"-dv", "--verbose=4", path}, stop)) {
        if (auto publisher = parseCodeSignaturePublisher(*output, record.bundleIdentifier)) {
            return publisher;
        }
    }
    return publisherFromBundleIdentifier(record.bundleIdentifier);
}

Json orNull(const std::optional<std::string>& text) {
    return text ? Json(*text) : Json(nullptr);
}

} // namespace

std::vector<std::filesystem::path> softwareRoots() {
    return {paths::fixed("/Applications"), paths::fixed("/System/Applications"),
            paths::fixed("/System/Applications/Utilities")};
}

std::vector<BundleRecord> scanApplicationBundles(const std::vector<std::filesystem::path>& roots) {
    std::vector<BundleRecord> records;
    std::set<std::string> seen;
    for (const auto& root : roots) {
        std::error_code ec;
        std::filesystem::recursive_directory_iterator it(
            root, std::filesystem::directory_options::skip_permission_denied, ec);
        for (; !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            const auto& path = it->path();
            const auto fileName = path.filename().string();
            std::error_code typeError;
            const bool isDirectory = it->is_directory(typeError) && !it->is_symlink(typeError);
            if (fileName.starts_with(".")) {
                if (isDirectory) {
                    it.disable_recursion_pending();
                }
                continue;
            }
            const auto extension = path.extension().string();
            if (isDirectory && isPackageExtension(extension)) {
                it.disable_recursion_pending();
            }
            if (extension != ".app") {
                continue;
            }
            auto record = readBundle(path);
            // Duplicates are dropped before any tool runs for them.
            if (!seen.insert(record.name + "|" + record.version.value_or("")).second) {
                continue;
            }
            records.push_back(std::move(record));
        }
    }
    return records;
}

std::optional<std::string> localSoftwarePublisher(const std::filesystem::path& bundle, const Json& info,
                                                  const std::optional<std::string>& bundleIdentifier) {
    if (bundleIdentifier && bundleIdentifier->starts_with("com.apple.")) {
        return "Apple Inc.";
    }
    if (bundle.string().starts_with(paths::fixed("/System/Applications").string() + "/")) {
        return "Apple Inc.";
    }
    if (auto publisher = companyNameFromCopyright(stringValue(info, "NSHumanReadableCopyright"))) {
        return publisher;
    }
    return companyNameFromCopyright(stringValue(info, "CFBundleGetInfoString"));
}

std::string localDateText(std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        return {};
    }
    std::array<char, 32> buffer{};
    const auto length = std::strftime(buffer.data(), buffer.size(), "%Y-%m-%d", &local);
    return std::string(buffer.data(), length);
}

Json installedSoftware(ProcessRunner& runner, std::size_t workers, StopToken stop) {
    auto records = scanApplicationBundles(softwareRoots());
    parallelFor(records.size(), workers, [&](std::size_t i) {
        if (!records[i].publisher) {
            records[i].publisher = toolPublisher(runner, records[i], stop);
        }
    });
    std::stable_sort(records.begin(), records.end(),
                     [](const BundleRecord& a, const BundleRecord& b) { return a.name < b.name; });
    Json software = Json::array();
    for (const auto& record : records) {
        Json entry = Json::object();
        entry["name"] = record.name;
        entry["version"] = orNull(record.version);
        entry["publisher"] = orNull(record.publisher);
        entry["installed_at"] = orNull(record.installedAt);
        software.push_back(std::move(entry));
    }
    return software;
}

} // namespace kova::audit
