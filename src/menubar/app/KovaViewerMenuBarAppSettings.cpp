// The delegate's settings write with an administrator's approval, and the
// RustDesk links and background endpoint.
#include "core/Errors.hpp"
#include "core/Files.hpp"
#include "core/Json.hpp"
#include "core/Paths.hpp"
#include "core/ViewerLogger.hpp"
#include "menubar/app/KovaViewerMenuBarApp.hpp"
#include "menubar/settings/AdministratorCommand.hpp"
#include "menubar/ui/QtText.hpp"

#include <QDir>
#include <QFutureWatcher>
#include <QPointer>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <system_error>

namespace kova::menubar {
namespace {

// The settings copy in the user's temporary directory, removed when the last
// holder lets go: after the prompt answered, or with the application.
class TemporarySettingsFile {
public:
    explicit TemporarySettingsFile(std::filesystem::path path) : path_(std::move(path)) {}
    ~TemporarySettingsFile() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    TemporarySettingsFile(const TemporarySettingsFile&) = delete;
    TemporarySettingsFile& operator=(const TemporarySettingsFile&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

QString describe(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        return qtText(errorDescription(error));
    } catch (...) {
        return {};
    }
}

} // namespace

void KovaViewerMenuBarApp::saveSettings(const ViewerSettings& settings) {
    if (savingSettings_) {
        return;
    }
    // Validation may normalise the record; the normalised copy is written.
    ViewerSettings normalised = settings;
    try {
        normalised.validate();
    } catch (...) {
        showAlert(QStringLiteral("Nie zapisano konfiguracji"), describe(std::current_exception()));
        return;
    }
    QPointer<KovaViewerMenuBarApp> self(this);
    auto done = [self, normalised](std::exception_ptr failure) {
        if (!self) {
            return;
        }
        self->savingSettings_ = false;
        if (failure) {
            self->showAlert(QStringLiteral("Nie zapisano konfiguracji"), describe(failure));
            return;
        }
        self->settingsWritten(normalised);
    };
    savingSettings_ = true;
    try {
        writeSettingsWithAdmin(normalised, done);
    } catch (...) {
        done(std::current_exception());
    }
}

void KovaViewerMenuBarApp::writeSettingsWithAdmin(const ViewerSettings& settings,
                                                  std::function<void(std::exception_ptr)> done) {
    const std::string bytes = prettyJson(settings.toJson());
    auto temporary = std::make_shared<TemporarySettingsFile>(
        AdministratorCommand::settingsTemporaryPath(QDir::tempPath().toStdString()));
    // The copy holds the company token: readable by this user only until root copies it.
    files::writeFileAtomically(temporary->path(), bytes, 0600);
    const std::string command = AdministratorCommand::settingsInstallCommand(
        desktop::administratorTools(), paths::configDirectory(), temporary->path(), paths::configPath());
    dependencies_.desktop->runAdministratorCommand(
        command, [temporary, done = std::move(done)](const AdministratorCommandResult& result) mutable {
            temporary.reset();
            if (!result.started) {
                done(std::make_exception_ptr(std::runtime_error(result.error.toStdString())));
            } else if (result.exitStatus != 0) {
                done(std::make_exception_ptr(
                    ViewerError::configuration("Administrator nie zatwierdzil zapisu konfiguracji.")));
            } else {
                done(nullptr);
            }
        });
}

void KovaViewerMenuBarApp::settingsWritten(const ViewerSettings& settings) {
    settings_ = settings;
    if (statusWindow_) {
        statusWindow_->apply(settings, ViewerState::load(), true);
    }
    showNotification(QStringLiteral("Sekwo Tarnvik"), QStringLiteral("Konfiguracja została zapisana."));
    // The daemon restarts with the file anyway; this audit only reports the
    // change sooner, so its outcome is not shown.
    QThreadPool::globalInstance()->start(
        [helpdesk = dependencies_.helpdesk, settings, stop = backgroundStop_.get_token()] {
            try {
                helpdesk->sendInventory(settings, "settings_saved", stop);
            } catch (const std::exception& error) {
                ViewerLogger::error(error, "Inventory send after settings save failed");
            }
        });
}

void KovaViewerMenuBarApp::openUrls(const QList<QUrl>& urls) {
    const QString scheme = QString::fromLatin1(rustDeskScheme);
    QList<QUrl> links;
    for (const auto& url : urls) {
        if (!url.scheme().isEmpty() && url.scheme().compare(scheme, Qt::CaseInsensitive) == 0) {
            links << url;
        }
    }
    if (links.isEmpty()) {
        return;
    }
    if (rustDeskLaunchesInFlight_ >= maximumRustDeskLaunches) {
        ViewerLogger::error("RustDesk link ignored: " + std::to_string(maximumRustDeskLaunches) +
                            " launches are still waiting for RustDesk.");
        return;
    }
    // The workspace is asked here, on the main thread; RustDesk runs (and is
    // waited for) on a thread of the launches' own pool: a RustDesk that
    // keeps running holds that thread, never one the other work needs.
    const auto bundle = dependencies_.desktop->applicationPath(QString::fromLatin1(rustDeskBundleIdentifier));
    const RustDeskProtocolLauncher launcher(scheme, dependencies_.processRunner,
                                            [bundle](const QString&) { return bundle; });
    ++rustDeskLaunchesInFlight_;
    auto* watcher = new QFutureWatcher<QStringList>(this);
    connect(watcher, &QFutureWatcher<QStringList>::finished, this, [this, watcher] {
        watcher->deleteLater();
        --rustDeskLaunchesInFlight_;
        for (const auto& message : watcher->result()) {
            dependencies_.presentAlert(QStringLiteral("Nie uruchomiono RustDesk"), message);
        }
    });
    watcher->setFuture(QtConcurrent::run(&rustDeskLaunches_, [launcher, links] {
        QStringList failures;
        for (const auto& url : links) {
            try {
                const auto request = launcher.parse(url);
                launcher.setConsultantDisplayName(request.consultantName);
                launcher.connect(request);
                ViewerLogger::info("RustDesk connection launched for remote ID " +
                                   request.remoteID.toStdString() + ".");
            } catch (const std::exception& error) {
                ViewerLogger::error(error, "RustDesk protocol launch failed");
                failures << qtText(errorDescription(error));
            }
        }
        return failures;
    }));
}

void KovaViewerMenuBarApp::ensureRustDeskRunning() {
    if (rustDeskCheck_.isRunning()) {
        return;
    }
    rustDeskCheck_ = QtConcurrent::run([service = rustDeskBackgroundService_] { service->ensureRunning(); });
}

} // namespace kova::menubar
