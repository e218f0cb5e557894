#include "menubar/model/ViewerModel.hpp"

#include "core/ViewerLogger.hpp"

namespace kova::menubar {

ViewerSettings ViewerModel::settingsOrDefaults() const {
    return settings_ ? *settings_ : ViewerSettings::loadOrDefaults();
}

void ViewerModel::reload() {
    try {
        settings_ = ViewerSettings::load();
    } catch (const std::exception&) {
        // An unreadable file leaves the settings in effect as they were.
    }
    state_ = ViewerState::load();
    customerSession_ = CustomerSessionStore::load();
    Q_EMIT changed();
}

void ViewerModel::loadSettings() {
    try {
        settings_ = ViewerSettings::load();
    } catch (const std::exception& error) {
        ViewerLogger::error(error, "Menu bar settings load failed");
        settings_.reset();
    }
}

void ViewerModel::setSettings(const ViewerSettings& settings) {
    settings_ = settings;
    Q_EMIT changed();
}

void ViewerModel::customerSessionStored() {
    customerSession_ = CustomerSessionStore::load();
    QMetaObject::invokeMethod(this, &ViewerModel::customerSessionChanged, Qt::QueuedConnection);
}

} // namespace kova::menubar
