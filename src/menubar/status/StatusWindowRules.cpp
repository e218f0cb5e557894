#include "menubar/status/StatusWindowRules.hpp"

#include "config/MacViewerBuildInfo.hpp"
#include "core/Strings.hpp"
#include "menubar/ui/QtText.hpp"
#include "menubar/ui/ViewerTheme.hpp"
#include "platform/DateFormat.hpp"

#include <algorithm>

namespace kova::menubar {
namespace {

GridValue plain(const QString& text) {
    return {text, ViewerTheme::text};
}

} // namespace

QString mediumDateTime(const std::optional<Timestamp>& time) {
    if (!time) {
        return QStringLiteral("-");
    }
    return qtText(platform::mediumDateTime(time->time_since_epoch().count()));
}

StatusGridValues statusGridValues(const ViewerSettings& settings, const ViewerState& state,
                                  const platform::SystemFacts& facts) {
    StatusGridValues values;
    const auto supportId = trimmedNonEmpty(state.supportId);
    const auto message = trimmedNonEmpty(state.connectionMessage);
    const bool token = settings.hasViewerToken();

    if (message) {
        values.status.text = qtText(*message);
    } else if (supportId) {
        values.status.text = QStringLiteral("Zarejestrowany");
    } else if (token) {
        values.status.text = QStringLiteral("Rejestracja");
    } else {
        values.status.text = QStringLiteral("Brak firmy / tokenu");
    }
    if (state.connectionIssue) {
        values.status.colour = ViewerTheme::systemRed;
    } else if (supportId) {
        values.status.colour = ViewerTheme::tealDark;
    } else if (token) {
        values.status.colour = ViewerTheme::orange;
    } else {
        values.status.colour = ViewerTheme::muted;
    }

    values.supportId = supportId
                           ? GridValue{qtText(*supportId), ViewerTheme::tealDark}
                           : GridValue{QStringLiteral("ID oczekuje na rejestrację"), ViewerTheme::muted};
    if (const auto host = trimmedNonEmpty(state.hostname)) {
        values.hostname = plain(qtText(*host));
    } else if (const auto localized = trimmedNonEmpty(facts.localizedHostName())) {
        values.hostname = plain(qtText(*localized));
    } else {
        values.hostname = plain(qtText(facts.processHostName()));
    }
    const auto uid = trimmedNonEmpty(state.deviceUid);
    values.deviceUid = plain(uid ? qtText(*uid) : QStringLiteral("-"));
    values.lastInventory = plain(mediumDateTime(state.lastInventoryAt));
    values.lastHeartbeat = plain(mediumDateTime(state.lastHeartbeatAt));
    values.version = plain(qtText(MacViewerBuildInfo::version));
    values.log = plain(QStringLiteral("sekwo.log"));
    return values;
}

QSize initialContentSize(const std::optional<QRect>& visibleScreen) {
    if (!visibleScreen) {
        return {940, 800};
    }
    const auto inset = visibleScreen->adjusted(24, 24, -24, -24);
    return {std::clamp(inset.width(), 420, 940), std::clamp(inset.height(), 360, 800)};
}

QSize tabContentSize(bool ticketForm, const std::optional<QRect>& visibleScreen) {
    QSize target = ticketForm ? QSize(1080, 920) : QSize(940, 800);
    if (visibleScreen) {
        target = target.boundedTo(QSize(visibleScreen->width() - 48, visibleScreen->height() - 72));
    }
    return target.expandedTo(minimumContentSize);
}

std::optional<QUrl> customerPortalUrl(const std::string& serverBaseUrl, const QString& reference) {
    const QUrl base(qtText(serverBaseUrl), QUrl::StrictMode);
    if (!base.isValid() || base.scheme().isEmpty() || base.host().isEmpty()) {
        return std::nullopt;
    }
    QString path = base.path(QUrl::FullyEncoded);
    while (path.endsWith(QLatin1Char('/'))) {
        path.chop(1);
    }
    path += QStringLiteral("/customer/tickets");
    const QString trimmedReference = reference.trimmed();
    if (!trimmedReference.isEmpty()) {
        // One path component: a "/" in the reference is escaped, not a step.
        path += QLatin1Char('/') + QString::fromLatin1(QUrl::toPercentEncoding(trimmedReference));
    }
    QUrl url = base;
    url.setPath(path, QUrl::StrictMode);
    return url;
}

QString notificationPermissionLabel(NotificationPermission permission, bool notificationsEnabled) {
    switch (permission) {
    case NotificationPermission::authorized:
        return notificationsEnabled ? QStringLiteral("Powiadomienia są włączone.")
                                    : QStringLiteral("Powiadomienia są wyłączone w aplikacji.");
    case NotificationPermission::notDetermined:
        return QStringLiteral("Powiadomienia nie zostały jeszcze skonfigurowane.");
    case NotificationPermission::denied:
        return QStringLiteral("Powiadomienia są zablokowane w ustawieniach macOS.");
    case NotificationPermission::unknown:
        break;
    }
    return QStringLiteral("Nie udało się odczytać stanu powiadomień.");
}

StatusTab initialTab(const ViewerSettings& settings) {
    return settings.hasViewerToken() ? StatusTab::status : StatusTab::settings;
}

ViewerSettings settingsFromFields(const QString& server, const QString& token) {
    ViewerSettings settings;
    settings.serverBaseUrl = server.toStdString();
    settings.viewerToken = token.toStdString();
    settings.auditIntervalMinutes = 360;
    settings.heartbeatIntervalSeconds = 300;
    settings.commandPollIntervalSeconds = 60;
    settings.chatPollIntervalSeconds = 2;
    settings.controlReconnectMaxSeconds = 30;
    settings.notificationsEnabled = true;
    return settings;
}

} // namespace kova::menubar
