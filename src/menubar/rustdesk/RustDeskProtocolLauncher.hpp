#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kova {
class ProcessRunner;
}

namespace kova::menubar {

// What a consultant's link asks RustDesk to connect to; every value trimmed.
struct RustDeskLaunchRequest {
    QString remoteID;
    QString server;
    QString relay;
    QString key;
    QString consultantName;

    bool operator==(const RustDeskLaunchRequest&) const = default;
};

enum class RustDeskLaunchError { invalidLink, invalidRemoteID, invalidServer, notInstalled, launchFailed };

QString rustDeskLaunchErrorDescription(RustDeskLaunchError error);

// Thrown by the launcher; what() is the user-facing description.
class RustDeskLaunchFailure : public std::exception {
public:
    explicit RustDeskLaunchFailure(RustDeskLaunchError error);
    RustDeskLaunchError error() const { return error_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    RustDeskLaunchError error_;
    std::string description_;
};

inline constexpr auto rustDeskScheme = "kovadesk-rustdesk";
inline constexpr auto rustDeskBundleIdentifier = "com.carriez.RustDesk";

// RustDesk's own executable location (below the test root in tests).
std::filesystem::path rustDeskPrimaryExecutable();
bool isExecutableFile(const std::filesystem::path& path);

// Validates kovadesk-rustdesk links and starts the installed RustDesk with
// the consultant's display name and the connection data. The runs block the
// calling thread until RustDesk exits; call them off the main thread.
class RustDeskProtocolLauncher {
public:
    // The installed application with a bundle identifier (the platform's
    // workspace lookup).
    using ApplicationFinder = std::function<std::optional<QString>(const QString& bundleIdentifier)>;

    RustDeskProtocolLauncher(QString scheme, std::shared_ptr<ProcessRunner> runner, ApplicationFinder finder);

    const QString& scheme() const { return scheme_; }

    // Throws RustDeskLaunchFailure.
    RustDeskLaunchRequest parse(const QUrl& url) const;
    // Runs RustDesk with --option display-name NAME, unless the name is empty.
    void setConsultantDisplayName(const QString& name) const;
    void connect(const RustDeskLaunchRequest& request) const;
    void runRustDesk(const QStringList& arguments) const;
    // Throws notInstalled when neither location holds an executable.
    std::filesystem::path rustDeskExecutable() const;

    // --server S --relay R [--key K] REMOTE_ID
    static QStringList connectionArguments(const RustDeskLaunchRequest& request);

private:
    QString scheme_;
    std::shared_ptr<ProcessRunner> runner_;
    ApplicationFinder finder_;
};

} // namespace kova::menubar
