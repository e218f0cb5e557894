#pragma once

#include "config/ViewerSettings.hpp"
#include "menubar/platform/Desktop.hpp"

#include <QObject>
#include <QString>

namespace kova::menubar {

// Validates the settings and has the desktop's administrator prompt install
// them from a file only this user can read; one save at a time. Main thread only.
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
    Desktop& desktop_;
    bool saving_ = false;
};

} // namespace kova::menubar
