#pragma once

#include "config/ViewerSettings.hpp"
#include "menubar/platform/Desktop.hpp"

#include <QObject>
#include <QString>

namespace kova::menubar {

// The administrator-approved save of the settings: validates the record,
// writes it to a temporary file only this user can read, and has the
// desktop's administrator prompt put it in place. One save at a time. Main
// thread only; the signals come on the main thread once the prompt answered.
class SettingsSave : public QObject {
    Q_OBJECT
public:
    explicit SettingsSave(Desktop& desktop, QObject* parent = nullptr);

    // Ignored while a save is waiting for the administrator.
    void save(const ViewerSettings& settings);

Q_SIGNALS:
    // The file now holds `settings`, normalised by validation.
    void saved(const ViewerSettings& settings);
    // Nothing was written; `message` says why.
    void failed(const QString& message);

private:
    // `done` gets the failure (null on success) on the main thread.
    void writeWithAdministrator(const ViewerSettings& settings, std::function<void(std::exception_ptr)> done);

    Desktop& desktop_;
    bool saving_ = false;
};

} // namespace kova::menubar
