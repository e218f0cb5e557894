#pragma once

#include "config/ViewerSettings.hpp"
#include "config/ViewerState.hpp"
#include "core/Time.hpp"
#include "menubar/platform/Desktop.hpp"
#include "platform/SystemFacts.hpp"

#include <QColor>
#include <QRect>
#include <QSize>
#include <QString>
#include <QUrl>

#include <optional>

// What the status window shows, derived from the settings and the state; the
// window only binds these values to its widgets.
namespace kova::menubar {

struct GridValue {
    QString text;
    QColor colour;

    bool operator==(const GridValue&) const = default;
};

struct StatusGridValues {
    GridValue status;
    GridValue supportId;
    GridValue hostname;
    GridValue deviceUid;
    GridValue lastInventory;
    GridValue lastHeartbeat;
    GridValue version;
    GridValue log;
};

StatusGridValues statusGridValues(const ViewerSettings& settings, const ViewerState& state,
                                  const platform::SystemFacts& facts);

// Medium date and medium time in the user's locale (the system's own
// formatter), "-" without a time. Both windows show their times with it.
QString mediumDateTime(const std::optional<Timestamp>& time);

// The window's first content size: the visible screen inset by 24 on each
// side and clamped; 940 × 800 without a screen.
QSize initialContentSize(const std::optional<QRect>& visibleScreen);
inline constexpr QSize minimumContentSize{620, 540};
// The content size of a tab switch: larger for the ticket form, never beyond
// the visible screen less 48 × 72, never below the minimum.
QSize tabContentSize(bool ticketForm, const std::optional<QRect>& visibleScreen);

// ".../customer/tickets[/reference]" below the server address; none when the
// address is not a valid URL.
std::optional<QUrl> customerPortalUrl(const std::string& serverBaseUrl, const QString& reference);

QString notificationPermissionLabel(NotificationPermission permission, bool notificationsEnabled);

enum class StatusTab { status = 0, ticket = 1, customerPanel = 2, settings = 3 };

// Without a viewer token the user is taken to the settings tab.
StatusTab initialTab(const ViewerSettings& settings);

// The record the save button hands on: server and token as typed, every
// other value fixed (nothing is carried over from the existing file).
ViewerSettings settingsFromFields(const QString& server, const QString& token);

} // namespace kova::menubar
