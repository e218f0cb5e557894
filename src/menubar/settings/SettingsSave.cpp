#include "menubar/settings/SettingsSave.hpp"

#include "core/Errors.hpp"
#include "core/Files.hpp"
#include "core/Json.hpp"
#include "core/Paths.hpp"
#include "menubar/settings/AdministratorCommand.hpp"
#include "menubar/ui/QtText.hpp"

#include <QDir>
#include <QPointer>

#include <system_error>

namespace kova::menubar {
namespace {

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

SettingsSave::SettingsSave(Desktop& desktop, QObject* parent) : QObject(parent), desktop_(desktop) {}

void SettingsSave::save(const ViewerSettings& settings) {
    if (saving_) {
        return;
    }
    // Validation may normalise the record; the normalised copy is written.
    ViewerSettings normalised = settings;
    try {
        normalised.validate();
    } catch (...) {
        Q_EMIT failed(describe(std::current_exception()));
        return;
    }
    QPointer<SettingsSave> self(this);
    auto done = [self, normalised](std::exception_ptr failure) {
        if (!self) {
            return;
        }
        self->saving_ = false;
        if (failure) {
            Q_EMIT self->failed(describe(failure));
            return;
        }
        Q_EMIT self->saved(normalised);
    };
    saving_ = true;
    try {
        const std::filesystem::path path =
            AdministratorCommand::settingsTemporaryPath(QDir::tempPath().toStdString());
        // Removed once the prompt answered, or with the application.
        std::shared_ptr<void> temporary(nullptr, [path](void*) {
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
        });
        // The copy holds the company token: readable by this user only until root copies it.
        files::writeFileAtomically(path, prettyJson(normalised.toJson()), 0600);
        const std::string command = AdministratorCommand::settingsInstallCommand(
            desktop::administratorTools(), paths::configDirectory(), path, paths::configPath());
        desktop_.runAdministratorCommand(
            command, [temporary, done](const AdministratorCommandResult& result) mutable {
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
    } catch (...) {
        done(std::current_exception());
    }
}

} // namespace kova::menubar
