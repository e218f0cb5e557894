#pragma once

#include "config/ViewerSettings.hpp"
#include "config/ViewerState.hpp"
#include "menubar/model/CustomerSessionStore.hpp"

#include <QObject>

#include <optional>

namespace kova::menubar {

// The settings in effect, the daemon's state and the customer session, owned
// by the delegate; windows read and subscribe instead of keeping copies, and
// reload() is the one place these are read from disk. Main thread only.
class ViewerModel : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // As last read or saved; absent while no file could be read.
    const std::optional<ViewerSettings>& settings() const { return settings_; }
    // Those, else the file's now, else the defaults.
    ViewerSettings settingsOrDefaults() const;
    const ViewerState& state() const { return state_; }
    const std::optional<CustomerSessionState>& customerSession() const { return customerSession_; }
    // Reads all three (unreadable settings keep those in effect); emits changed().
    void reload();
    // The start-up read: an unreadable file is logged and leaves no settings.
    void loadSettings();
    void setSettings(const ViewerSettings& settings);
    // The session was stored or cleared: read again at once; the signal comes
    // from the event loop, as the caller may be mid-update.
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
