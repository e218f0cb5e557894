#include "update/SelfUpdater.hpp"

#include "config/MacViewerBuildInfo.hpp"
#include "core/Errors.hpp"
#include "core/Files.hpp"
#include "core/Stop.hpp"
#include "core/Strings.hpp"
#include "core/ToolPaths.hpp"
#include "core/ViewerLogger.hpp"
#include "update/UpdateCheck.hpp"
#include "update/UpdaterScript.hpp"
#include "update/ViewerUpdateCoordinator.hpp"

#include <functional>
#include <plist/plist.h>
#include <stdexcept>
#include <system_error>

namespace kova {
namespace {

using namespace std::chrono_literals;

std::string ownVersion() {
    return std::string(MacViewerBuildInfo::version);
}

// The requester's version when it names one, else this build's.
std::string effectiveVersion(const std::optional<std::string>& requesterVersion) {
    auto version = requesterVersion ? trimmed(*requesterVersion) : std::string();
    return version.empty() ? ownVersion() : version;
}

Json optionalText(const std::optional<std::string>& text) {
    return text ? Json(*text) : Json(nullptr);
}

void writeStatus(std::string phase, std::string message, std::string currentVersion,
                 std::optional<std::string> availableVersion, Timestamp updatedAt = nowSeconds()) {
    ViewerUpdateCoordinator::writeStatus({std::move(phase), std::move(message), std::move(currentVersion),
                                          std::move(availableVersion), updatedAt,
                                          UpdateCheck::updateLogPath().string()});
}

ProcessResult launchctl(ProcessRunner& runner, std::vector<std::string> arguments) {
    ProcessSpec spec;
    spec.executable = tools::launchctl;
    spec.arguments = std::move(arguments);
    spec.timeLimit = std::chrono::seconds(60); // a wedged launchctl must not hold the update loops
    return runner.run(spec);
}

// The job property list with an EnvironmentVariables dictionary added:
// launchd starts the job with an empty environment, so the script's curl
// would otherwise go direct past a proxy the daemon itself goes through.
std::string withEnvironment(const std::string& jobXml, const std::string& name, const std::string& value) {
    plist_t root = nullptr;
    plist_from_xml(jobXml.data(), static_cast<std::uint32_t>(jobXml.size()), &root);
    const std::unique_ptr<void, decltype(&plist_free)> job(root, &plist_free);
    if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) {
        throw std::runtime_error("Could not extend the macOS updater job property list.");
    }
    plist_t environment = plist_new_dict();
    plist_dict_set_item(environment, name.c_str(), plist_new_string(value.c_str()));
    plist_dict_set_item(root, "EnvironmentVariables", environment);
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    if (xml == nullptr) {
        throw std::runtime_error("Could not serialise the macOS updater job property list.");
    }
    std::string text(xml, length);
    plist_to_xml_free(xml);
    return text;
}

std::string updaterJobTarget() {
    return "system/" + std::string(UpdateCheck::updaterJobLabel);
}

// Writes the script and its launchd job into the runtime directory and starts
// the job, after booting out one left over from an earlier run; `announce`
// writes the status in between; `httpsProxy` goes into the job's environment.
// Throws.
void startUpdaterJob(ProcessRunner& runner, const std::string& script, const std::function<void()>& announce,
                     const std::optional<std::string>& httpsProxy = std::nullopt) {
    const auto scriptPath = UpdateCheck::updaterScriptPath();
    const auto jobPath = UpdateCheck::updaterJobPropertyListPath();
    const auto logPath = UpdateCheck::updateLogPath();
    ViewerUpdateCoordinator::ensureRuntimeDirectory();
    files::writeFileAtomically(scriptPath, script, 0700);
    auto job = UpdateCheck::updaterJobPropertyList(scriptPath.string(), logPath.string());
    if (httpsProxy) {
        job = withEnvironment(job, "https_proxy", *httpsProxy);
    }
    files::writeFileAtomically(jobPath, job, 0600);
    // launchd opens the job's log itself and does not create its directory.
    try {
        files::createDirectories(logPath.parent_path());
    } catch (const std::system_error&) {
    }

    launchctl(runner, {"bootout", updaterJobTarget()});
    announce();
    const auto bootstrap = launchctl(runner, {"bootstrap", "system", jobPath.string()});
    if (!bootstrap.launched) {
        throw std::system_error(bootstrap.launchError, std::generic_category(),
                                std::string("launch ") + tools::launchctl);
    }
    if (bootstrap.signalled || bootstrap.exitStatus != 0) {
        std::error_code ignored;
        std::filesystem::remove(jobPath, ignored);
        std::filesystem::remove(scriptPath, ignored);
        throw ViewerError::invalidResponse("The independent macOS updater service could not be started.");
    }
}

bool updaterJobRunning(ProcessRunner& runner) {
    const auto print = launchctl(runner, {"print", updaterJobTarget()});
    return print.launched && !print.signalled && print.exitStatus == 0 &&
           print.standardOutput.find("state = running") != std::string::npos;
}

} // namespace

SelfUpdater::SelfUpdater(std::string serverBaseUrl, std::shared_ptr<KovaDeskApiClient> apiClient,
                         std::shared_ptr<ProcessRunner> processRunner, std::shared_ptr<Sleeper> sleeper)
    : serverBaseUrl_(std::move(serverBaseUrl)), apiClient_(std::move(apiClient)),
      processRunner_(std::move(processRunner)), sleeper_(std::move(sleeper)) {}

Json SelfUpdater::checkForClientUpdate(const std::string& reason,
                                       const std::optional<std::string>& requesterVersion, StopToken stop) {
    // Checks of the two loops and the command never overlap within the daemon.
    std::lock_guard lock(mutex_);
    const auto current = effectiveVersion(requesterVersion);
    if (const auto status = ViewerUpdateCoordinator::readStatus();
        status && ViewerUpdateCoordinator::isRunning(*status, nowSeconds())) {
        writeStatus(status->phase, "Aktualizacja jest już w toku.", current, status->availableVersion,
                    status->updatedAt);
        return Json{{"platform", "macos"},
                    {"current_version", current},
                    {"available_version", optionalText(status->availableVersion)},
                    {"update_started", false},
                    {"reason", "update already in progress"}};
    }
    writeStatus("checking", "Sprawdzam dostępność aktualizacji...", current, std::nullopt);
    const auto manifest = apiClient_->updateManifest("macos", KovaDeskApiClient::currentArchitecture(),
                                                     current, "stable", stop);
    if (trimmed(manifest.url).empty()) {
        writeStatus("no_update", "Serwer nie wystawił paczki aktualizacji dla macOS.", current, std::nullopt);
        return Json{{"platform", "macos"},
                    {"current_version", current},
                    {"update_started", false},
                    {"reason", "no macOS update manifest"}};
    }
    // Newer than this build, or than an older component that asked for the check.
    const bool newer =
        UpdateCheck::isVersionNewerThan(manifest.version, ownVersion()) ||
        (requesterVersion && UpdateCheck::isVersionNewerThan(manifest.version, *requesterVersion));
    if (!newer) {
        writeStatus("no_update", "Nie znaleziono nowszej wersji oprogramowania.", current, manifest.version);
        return Json{{"platform", "macos"},
                    {"current_version", current},
                    {"available_version", manifest.version},
                    {"update_started", false},
                    {"reason", "already up to date"}};
    }
    writeStatus("downloading", "Znaleziono wersję " + manifest.version + ". Pobieram aktualizację...",
                current, manifest.version);
    try {
        return scheduleSelfUpdate(manifest, reason, requesterVersion);
    } catch (const std::exception& error) {
        writeStatus("failed", viewerErrorMessage(error, "uruchomić aktualizację"), current, manifest.version);
        throw;
    }
}

Json SelfUpdater::scheduleSelfUpdate(const ViewerUpdateManifest& manifest, const std::string& reason,
                                     const std::optional<std::string>& requesterVersion) {
    const auto url = UpdateCheck::validatedUpdatePackageUrl(manifest, serverBaseUrl_);
    const auto sha256 = UpdateCheck::validatedSha256(manifest.sha256);
    const auto size = UpdateCheck::validatedPackageSize(manifest.sizeBytes);

    const auto scriptPath = UpdateCheck::updaterScriptPath();
    const auto jobPath = UpdateCheck::updaterJobPropertyListPath();
    const auto logPath = UpdateCheck::updateLogPath();
    const auto scriptCurrentVersion = effectiveVersion(requesterVersion);
    UpdaterScriptInputs inputs;
    inputs.updatesDirectory = UpdateCheck::updatesDirectory().string();
    inputs.runtimeDirectory = ViewerUpdateCoordinator::runtimeDirectory().string();
    inputs.statusPath = ViewerUpdateCoordinator::statusPath().string();
    inputs.scriptPath = scriptPath.string();
    inputs.jobPropertyListPath = jobPath.string();
    inputs.packagePath = UpdateCheck::packagePath(manifest.version).string();
    inputs.updateLogPath = logPath.string();
    inputs.packageUrl = url;
    inputs.sha256 = sha256;
    inputs.sizeBytes = size;
    inputs.scriptCurrentVersion = scriptCurrentVersion;
    inputs.manifestVersion = manifest.version;
    inputs.safeVersion = UpdateCheck::safeVersion(manifest.version);
    inputs.ownVersion = ownVersion();
    inputs.reason = reason;
    const auto script = updaterScript(inputs);

    // The proxy this daemon would take to the package (an unusable setting
    // fails here, before anything is written). Its credentials, if any, go
    // only into the root-only job file (0600 from its creation), never into
    // an argument list or a log line.
    const auto proxy = apiClient_->proxyFor(url);
    startUpdaterJob(
        *processRunner_, script,
        [&] {
            writeStatus("queued",
                        "Aktualizacja do wersji " + manifest.version +
                            " została przekazana do niezależnej usługi systemowej.",
                        scriptCurrentVersion, manifest.version);
        },
        proxy ? std::optional<std::string>(proxy->urlWithCredentials()) : std::nullopt);
    ViewerLogger::info("Sekwo Tarnvik macOS self-update scheduled. version=" + manifest.version +
                       " reason=" + reason);
    return Json{{"platform", "macos"},
                {"current_version", ownVersion()},
                {"requester_version", optionalText(requesterVersion)},
                {"available_version", manifest.version},
                {"update_started", true},
                {"url", url},
                {"sha256", sha256},
                {"size_bytes", size},
                {"reason", reason},
                {"log_path", logPath.string()},
                {"started_at", formatIso8601(nowSeconds())}};
}

void SelfUpdater::recoverInterruptedUpdate() {
    std::lock_guard lock(mutex_);
    try {
        const auto backup = UpdateCheck::unconsumedBackup();
        if (!backup) {
            return;
        }
        if (backup->restoreAttempted) {
            ViewerLogger::warn(
                "The backup of an interrupted macOS update could not be restored; the next update "
                "keeps it as its restore point. backup=" +
                backup->directory.string());
            return;
        }
        // Every update restarts the daemon while its job still verifies the
        // new installation: that job owns the backup until it ends.
        if (updaterJobRunning(*processRunner_)) {
            return;
        }
        ViewerLogger::warn("Interrupted macOS update found; rolling back to its backup. backup=" +
                           backup->directory.string());
        RestoreScriptInputs inputs;
        inputs.runtimeDirectory = ViewerUpdateCoordinator::runtimeDirectory().string();
        inputs.statusPath = ViewerUpdateCoordinator::statusPath().string();
        inputs.scriptPath = UpdateCheck::updaterScriptPath().string();
        inputs.jobPropertyListPath = UpdateCheck::updaterJobPropertyListPath().string();
        inputs.updateLogPath = UpdateCheck::updateLogPath().string();
        inputs.backupDirectory = backup->directory.string();
        inputs.currentVersion = ownVersion();
        inputs.availableVersion = backup->version;
        try {
            startUpdaterJob(*processRunner_, restoreScript(inputs), [&] {
                writeStatus("installing",
                            "Poprzednia aktualizacja została przerwana. Przywracam poprzednią wersję...",
                            ownVersion(), backup->version);
            });
        } catch (const std::exception& error) {
            writeStatus("failed", viewerErrorMessage(error, "przywrócić poprzedniej wersji"), ownVersion(),
                        backup->version);
            throw;
        }
        ViewerLogger::info("Sekwo Tarnvik macOS rollback of the interrupted update scheduled.");
    } catch (const std::exception& error) {
        ViewerLogger::error(error, "Interrupted macOS update rollback could not be started");
    }
}

void SelfUpdater::autoUpdateLoop(StopToken stop) {
    if (!sleeper_->sleep(stop, 120s)) {
        return;
    }
    while (!stop.stop_requested()) {
        if (ViewerUpdateCoordinator::claimDailyAutomaticCheck(nowSeconds())) {
            try {
                const auto result = checkForClientUpdate("auto_daily", std::nullopt, stop);
                if (result.value("update_started", false)) {
                    ViewerLogger::info("Sekwo Tarnvik macOS daily auto-update scheduled. result=" +
                                       compactJson(result));
                }
            } catch (const std::exception& error) {
                ViewerLogger::error(error, "Daily automatic macOS update check failed");
            }
        }
        if (!sleeper_->sleep(stop, 3600s)) {
            return;
        }
    }
}

void SelfUpdater::manualUpdateRequestLoop(StopToken stop) {
    while (!stop.stop_requested()) {
        if (const auto request = ViewerUpdateCoordinator::consumeManualRequest()) {
            ViewerLogger::info("Manual macOS update check requested from menu bar.");
            try {
                checkForClientUpdate("manual", request->currentVersion, stop);
            } catch (const std::exception& error) {
                if (stop.stop_requested()) {
                    return; // shutting down: the status turns stale on its own
                }
                writeStatus("failed", viewerErrorMessage(error, "sprawdzić aktualizację"), ownVersion(),
                            std::nullopt);
                ViewerLogger::error(error, "Manual macOS update check failed");
            }
        }
        if (!sleeper_->sleep(stop, 2s)) {
            return;
        }
    }
}

} // namespace kova
