#pragma once

#include "config/ViewerSettings.hpp"
#include "config/ViewerState.hpp"
#include "menubar/model/CustomerSessionStore.hpp"

#include <QObject>

#include <optional>

namespace kova::menubar {

// The name the session-change announcement goes by.
inline constexpr char customerSessionDidChangeNotification[] = "pl.tarnvik.sekwo.customerSessionDidChange";

// What the menu bar shows and acts with: the settings in effect, the daemon's
// state and the customer session. Owned by the application delegate; the
// windows read it and subscribe to its signals instead of keeping copies.
// reload() is the one place these are read from disk. Main thread only.
class ViewerModel : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // The settings file's record as last read, or the last one saved; absent
    // while no file could be read.
    const std::optional<ViewerSettings>& settings() const { return settings_; }
    // Those, else the file's now, else the defaults.
    ViewerSettings settingsOrDefaults() const;
    const ViewerState& state() const { return state_; }
    // A still-valid session as last read.
    const std::optional<CustomerSessionState>& customerSession() const { return customerSession_; }

    // Reads the settings (a file that cannot be read keeps those in effect),
    // the state and the session, and emits changed().
    void reload();
    // The start-up read: a file that cannot be read is logged and leaves no
    // settings in effect.
    void loadSettings();
    // A save wrote these to the file.
    void setSettings(const ViewerSettings& settings);
    // Whoever stored or cleared the session says so: it is read again at
    // once, and customerSessionChanged() follows from the event loop, so the
    // caller may be mid-update.
    void customerSessionStored();

Q_SIGNALS:
    void changed();
    void customerSessionChanged();

private:
    std::optional<ViewerSettings> settings_;
    ViewerState state_;
    std::optional<CustomerSessionState> customerSession_;
};

} // namespace kova::menubar
