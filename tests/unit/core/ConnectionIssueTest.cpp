#include "core/ConnectionIssue.hpp"
#include "core/Errors.hpp"

#include <gtest/gtest.h>
#include <system_error>

namespace kova {
namespace {

const std::string action = "wysłać zgłoszenie";

TEST(ViewerErrorDescription, HttpBodiesAreShortenedOrHidden) {
    EXPECT_EQ(ViewerError::http(500, "  <HTML><body>oops</body></HTML> ").description(),
              "Serwer zwrócił błąd HTTP 500. Spróbuj ponownie lub skontaktuj się z administratorem.");
    EXPECT_EQ(ViewerError::http(404, " \n").description(), "HTTP 404");
    EXPECT_EQ(ViewerError::http(400, "  bad input \n").description(), "HTTP 400: bad input");
    // 600 characters still shown, 601 hidden; multi-byte letters count once.
    const std::string ok600 = [] {
        std::string s;
        for (int i = 0; i < 600; ++i)
            s += "ż";
        return s;
    }();
    EXPECT_EQ(ViewerError::http(418, ok600).description(), "HTTP 418: " + ok600);
    EXPECT_EQ(ViewerError::http(418, ok600 + "a").description(),
              "Serwer zwrócił błąd HTTP 418. Spróbuj ponownie lub skontaktuj się z administratorem.");
    EXPECT_EQ(ViewerError::configuration("x y").description(), "x y");
}

TEST(ViewerErrorMessage, EveryRowOfTheTable) {
    const std::string base = "Nie udało się " + action;
    struct Row {
        ViewerError error;
        std::string continuation;
    };
    const std::vector<Row> rows = {
        {ViewerError::configuration("c"),
         ", ponieważ konfiguracja aplikacji jest niepełna. Otwórz Ustawienia i sprawdź dane połączenia."},
        {ViewerError::http(401, "x"),
         ", ponieważ dane logowania lub sesja są nieprawidłowe. Zaloguj się ponownie."},
        {ViewerError::http(403, R"({"detail":"no"})"), ", ponieważ konto nie ma wymaganych uprawnień."},
        {ViewerError::http(404, ""), ", ponieważ żądany zasób nie istnieje lub został usunięty."},
        {ViewerError::http(409, R"({"detail":"  Duplicate ticket \n"})"), ": Duplicate ticket"},
        {ViewerError::http(422, R"({"detail":["a","b"]})"),
         ", ponieważ serwer odrzucił przesłane dane. Sprawdź formularz i spróbuj ponownie."},
        {ViewerError::http(422, R"({"detail":"   "})"),
         ", ponieważ serwer odrzucił przesłane dane. Sprawdź formularz i spróbuj ponownie."},
        {ViewerError::http(429, ""),
         ", ponieważ wykonano zbyt wiele prób. Odczekaj chwilę i spróbuj ponownie."},
        {ViewerError::http(500, R"({"detail":"hidden"})"),
         ", ponieważ serwer ma chwilowy problem. Spróbuj ponownie za kilka minut."},
        {ViewerError::http(599, ""),
         ", ponieważ serwer ma chwilowy problem. Spróbuj ponownie za kilka minut."},
        {ViewerError::http(400, R"({"detail":"Bad field"})"), ": Bad field"},
        {ViewerError::http(400, "plain text"), ". Serwer zwrócił błąd HTTP 400."},
        {ViewerError::http(600, "[1]"), ". Serwer zwrócił błąd HTTP 600."},
        {ViewerError::invalidResponse("x"),
         ", ponieważ serwer zwrócił nieprawidłową odpowiedź. Spróbuj ponownie; "
         "jeśli problem wraca, skontaktuj się z pomocą techniczną."},
        {ViewerError::temporarilyUnavailable("x"),
         ", ponieważ nie ma połączenia z serwerem. Sprawdź Internet i spróbuj ponownie."},
        {ViewerError::unsupported("Zdalny pulpit nie jest obsługiwany."),
         ": Zdalny pulpit nie jest obsługiwany."},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(viewerErrorMessage(row.error, action), base + row.continuation) << row.error.description();
    }

    const std::vector<std::pair<NetworkErrorCode, std::string>> network = {
        {NetworkErrorCode::notConnectedToInternet, ", ponieważ komputer nie ma połączenia z Internetem."},
        {NetworkErrorCode::networkConnectionLost, ", ponieważ komputer nie ma połączenia z Internetem."},
        {NetworkErrorCode::timedOut, ", ponieważ serwer nie odpowiedział na czas. Spróbuj ponownie."},
        {NetworkErrorCode::cannotFindHost, ", ponieważ nie można odnaleźć lub połączyć się z serwerem."},
        {NetworkErrorCode::dnsLookupFailed, ", ponieważ nie można odnaleźć lub połączyć się z serwerem."},
        {NetworkErrorCode::cannotConnectToHost, ", ponieważ nie można odnaleźć lub połączyć się z serwerem."},
        {NetworkErrorCode::secureConnectionFailed,
         ", ponieważ nie można bezpiecznie zweryfikować połączenia z serwerem."},
        {NetworkErrorCode::serverCertificateUntrusted,
         ", ponieważ nie można bezpiecznie zweryfikować połączenia z serwerem."},
        {NetworkErrorCode::other, " z powodu błędu połączenia. Spróbuj ponownie."},
    };
    for (const auto& [code, continuation] : network) {
        EXPECT_EQ(viewerErrorMessage(NetworkError(code), action), base + continuation);
    }
    const std::system_error fileError(std::make_error_code(std::errc::permission_denied), "open x");
    EXPECT_EQ(viewerErrorMessage(fileError, action), base + ". " + fileError.what());
}

TEST(ConnectionIssueClassify, OrderAndBodies) {
    using I = AgentConnectionIssue;
    EXPECT_EQ(classifyConnectionIssue(ViewerError::invalidResponse("x")), I::temporarilyUnavailable);
    EXPECT_EQ(classifyConnectionIssue(ViewerError::temporarilyUnavailable("x")), I::temporarilyUnavailable);
    EXPECT_EQ(classifyConnectionIssue(ViewerError::configuration("x")), std::nullopt);
    EXPECT_EQ(classifyConnectionIssue(ViewerError::unsupported("x")), std::nullopt);
    // "missing viewer token" wins over "invalid device token" in the same body.
    EXPECT_EQ(classifyConnectionIssue(ViewerError::http(401, "Missing Viewer Token; invalid device token")),
              I::missingViewerToken);
    EXPECT_EQ(classifyConnectionIssue(ViewerError::http(401, R"({"detail":"Invalid DEVICE token"})")),
              I::invalidDeviceToken);
    EXPECT_EQ(
        classifyConnectionIssue(ViewerError::http(401, "invalid device token and invalid viewer token")),
        I::invalidDeviceToken);
    EXPECT_EQ(classifyConnectionIssue(ViewerError::http(401, "invalid viewer token")), I::invalidViewerToken);
    EXPECT_EQ(classifyConnectionIssue(ViewerError::http(401, "expired")), std::nullopt);
    EXPECT_EQ(classifyConnectionIssue(ViewerError::http(403, "Device is assigned to another client")),
              I::deviceAssignedElsewhere);
    EXPECT_EQ(classifyConnectionIssue(ViewerError::http(403, "token does not match device")),
              I::deviceAssignedElsewhere);
    EXPECT_EQ(classifyConnectionIssue(ViewerError::http(403, "forbidden")), std::nullopt);
    EXPECT_EQ(classifyConnectionIssue(ViewerError::http(410, "Device is deactivated")), I::deviceDeactivated);
    EXPECT_EQ(classifyConnectionIssue(ViewerError::http(410, "gone")), std::nullopt);
    EXPECT_EQ(classifyConnectionIssue(ViewerError::http(503, "")), I::temporarilyUnavailable);
    EXPECT_EQ(classifyConnectionIssue(ViewerError::http(404, "device is deactivated")), std::nullopt);
    EXPECT_EQ(classifyConnectionIssue(NetworkError(NetworkErrorCode::other)), I::temporarilyUnavailable);
    EXPECT_EQ(classifyConnectionIssue(std::runtime_error("x")), std::nullopt);
}

TEST(ConnectionIssueClassify, NamesRoundTripAndDeviceTokenRecovery) {
    for (auto issue :
         {AgentConnectionIssue::missingViewerToken, AgentConnectionIssue::invalidViewerToken,
          AgentConnectionIssue::invalidDeviceToken, AgentConnectionIssue::deviceAssignedElsewhere,
          AgentConnectionIssue::deviceDeactivated, AgentConnectionIssue::temporarilyUnavailable}) {
        EXPECT_EQ(connectionIssueFromName(connectionIssueName(issue)), issue);
    }
    EXPECT_EQ(connectionIssueFromName("InvalidViewerToken"), std::nullopt);
    EXPECT_EQ(connectionIssueMessage(AgentConnectionIssue::invalidDeviceToken),
              connectionIssueMessage(AgentConnectionIssue::invalidViewerToken));

    const auto rejected = ViewerError::http(401, "invalid device token");
    EXPECT_TRUE(AgentDeviceTokenRecovery::shouldRetryWithOrganizationToken(true, rejected));
    EXPECT_FALSE(AgentDeviceTokenRecovery::shouldRetryWithOrganizationToken(false, rejected));
    EXPECT_FALSE(
        AgentDeviceTokenRecovery::shouldRetryWithOrganizationToken(true, ViewerError::http(401, "invalid "
                                                                                                "viewer "
                                                                                                "token")));
}

} // namespace
} // namespace kova
