#include "core/ConnectionIssue.hpp"

#include "core/Errors.hpp"
#include "core/Json.hpp"
#include "core/Strings.hpp"

#include <array>

namespace kova {
namespace {

constexpr std::string_view invalidTokenMessage =
    "Token Sekwo jest nieprawidłowy lub wygasł. Otwórz Ustawienia, wpisz prawidłowy token i wykonaj audyt "
    "ponownie.";

struct IssueRow {
    AgentConnectionIssue issue;
    std::string_view name;
    std::string_view message;
};

constexpr std::array<IssueRow, 6> issueRows = {{
    {AgentConnectionIssue::missingViewerToken, "missingViewerToken",
     "Nie wpisano tokenu Sekwo. Otwórz Ustawienia, wpisz prawidłowy token i zapisz zmiany."},
    {AgentConnectionIssue::invalidViewerToken, "invalidViewerToken", invalidTokenMessage},
    {AgentConnectionIssue::invalidDeviceToken, "invalidDeviceToken", invalidTokenMessage},
    {AgentConnectionIssue::deviceAssignedElsewhere, "deviceAssignedElsewhere",
     "To urządzenie jest przypisane do innej firmy. Skontaktuj się z konsultantem Tarnvik, aby potwierdzić "
     "przypisanie."},
    {AgentConnectionIssue::deviceDeactivated, "deviceDeactivated",
     "To urządzenie zostało wyłączone w Centrum Sekwo. Skontaktuj się z konsultantem Tarnvik."},
    {AgentConnectionIssue::temporarilyUnavailable, "temporarilyUnavailable",
     "Nie można teraz połączyć się z Centrum Sekwo. Aplikacja spróbuje ponownie automatycznie."},
}};

const IssueRow& rowOf(AgentConnectionIssue issue) {
    for (const auto& row : issueRows) {
        if (row.issue == issue) {
            return row;
        }
    }
    return issueRows.back();
}

std::optional<AgentConnectionIssue> classifyHttp(int status, const std::string& body) {
    const auto lower = asciiLowercased(body);
    const auto has = [&](std::string_view s) { return lower.find(s) != std::string::npos; };
    if (status == 401) {
        if (has("missing viewer token")) {
            return AgentConnectionIssue::missingViewerToken;
        }
        if (has("invalid device token")) {
            return AgentConnectionIssue::invalidDeviceToken;
        }
        if (has("invalid viewer token")) {
            return AgentConnectionIssue::invalidViewerToken;
        }
        return std::nullopt;
    }
    if (status == 403) {
        if (has("assigned to another client") || has("does not match device")) {
            return AgentConnectionIssue::deviceAssignedElsewhere;
        }
        return std::nullopt;
    }
    if (status == 410) {
        if (has("device is deactivated")) {
            return AgentConnectionIssue::deviceDeactivated;
        }
        return std::nullopt;
    }
    if (status >= 500 && status <= 599) {
        return AgentConnectionIssue::temporarilyUnavailable;
    }
    return std::nullopt;
}

std::string httpContinuation(int status, const std::string& body) {
    switch (status) {
    case 401:
        return ", ponieważ dane logowania lub sesja są nieprawidłowe. Zaloguj się ponownie.";
    case 403:
        return ", ponieważ konto nie ma wymaganych uprawnień.";
    case 404:
        return ", ponieważ żądany zasób nie istnieje lub został usunięty.";
    case 409:
    case 422:
        if (auto detail = serverErrorDetail(body)) {
            return ": " + *detail;
        }
        return ", ponieważ serwer odrzucił przesłane dane. Sprawdź formularz i spróbuj ponownie.";
    case 429:
        return ", ponieważ wykonano zbyt wiele prób. Odczekaj chwilę i spróbuj ponownie.";
    default:
        break;
    }
    if (status >= 500 && status <= 599) {
        return ", ponieważ serwer ma chwilowy problem. Spróbuj ponownie za kilka minut.";
    }
    if (auto detail = serverErrorDetail(body)) {
        return ": " + *detail;
    }
    return ". Serwer zwrócił błąd HTTP " + std::to_string(status) + ".";
}

std::string networkContinuation(NetworkErrorCode code) {
    switch (code) {
    case NetworkErrorCode::notConnectedToInternet:
    case NetworkErrorCode::networkConnectionLost:
        return ", ponieważ komputer nie ma połączenia z Internetem.";
    case NetworkErrorCode::timedOut:
        return ", ponieważ serwer nie odpowiedział na czas. Spróbuj ponownie.";
    case NetworkErrorCode::cannotFindHost:
    case NetworkErrorCode::dnsLookupFailed:
    case NetworkErrorCode::cannotConnectToHost:
        return ", ponieważ nie można odnaleźć lub połączyć się z serwerem.";
    case NetworkErrorCode::secureConnectionFailed:
    case NetworkErrorCode::serverCertificateUntrusted:
        return ", ponieważ nie można bezpiecznie zweryfikować połączenia z serwerem.";
    default:
        return " z powodu błędu połączenia. Spróbuj ponownie.";
    }
}

} // namespace

std::string_view connectionIssueName(AgentConnectionIssue issue) {
    return rowOf(issue).name;
}

std::optional<AgentConnectionIssue> connectionIssueFromName(std::string_view name) {
    for (const auto& row : issueRows) {
        if (row.name == name) {
            return row.issue;
        }
    }
    return std::nullopt;
}

std::string_view connectionIssueMessage(AgentConnectionIssue issue) {
    return rowOf(issue).message;
}

std::optional<AgentConnectionIssue> classifyConnectionIssue(const std::exception& error) {
    if (const auto* viewer = dynamic_cast<const ViewerError*>(&error)) {
        switch (viewer->kind()) {
        case ViewerErrorKind::invalidResponse:
        case ViewerErrorKind::temporarilyUnavailable:
            return AgentConnectionIssue::temporarilyUnavailable;
        case ViewerErrorKind::configuration:
        case ViewerErrorKind::unsupported:
            return std::nullopt;
        case ViewerErrorKind::http:
            return classifyHttp(viewer->status(), viewer->body());
        }
    }
    if (dynamic_cast<const NetworkError*>(&error) != nullptr) {
        return AgentConnectionIssue::temporarilyUnavailable;
    }
    return std::nullopt;
}

std::string viewerErrorMessage(const std::exception& error, std::string_view action) {
    std::string out = "Nie udało się ";
    out += action;
    if (const auto* viewer = dynamic_cast<const ViewerError*>(&error)) {
        switch (viewer->kind()) {
        case ViewerErrorKind::configuration:
            return out + ", ponieważ konfiguracja aplikacji jest niepełna. Otwórz Ustawienia i sprawdź dane "
                         "połączenia.";
        case ViewerErrorKind::http:
            return out + httpContinuation(viewer->status(), viewer->body());
        case ViewerErrorKind::invalidResponse:
            return out + ", ponieważ serwer zwrócił nieprawidłową odpowiedź. Spróbuj ponownie; jeśli problem "
                         "wraca, "
                         "skontaktuj się z pomocą techniczną.";
        case ViewerErrorKind::temporarilyUnavailable:
            return out + ", ponieważ nie ma połączenia z serwerem. Sprawdź Internet i spróbuj ponownie.";
        case ViewerErrorKind::unsupported:
            return out + ": " + viewer->message();
        }
    }
    if (const auto* network = dynamic_cast<const NetworkError*>(&error)) {
        return out + networkContinuation(network->code());
    }
    return out + ". " + error.what();
}

std::optional<std::string> serverErrorDetail(std::string_view body) {
    const auto json = parseJsonOrDiscarded(body);
    if (json.is_discarded() || !json.is_object()) {
        return std::nullopt;
    }
    const auto it = json.find("detail");
    if (it == json.end() || !it->is_string()) {
        return std::nullopt;
    }
    auto detail = trimmed(it->get<std::string>());
    if (detail.empty()) {
        return std::nullopt;
    }
    return detail;
}

namespace AgentDeviceTokenRecovery {
bool shouldRetryWithOrganizationToken(bool usedDeviceToken, const std::exception& error) {
    return usedDeviceToken && classifyConnectionIssue(error) == AgentConnectionIssue::invalidDeviceToken;
}
} // namespace AgentDeviceTokenRecovery

} // namespace kova
