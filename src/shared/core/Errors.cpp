#include "core/Errors.hpp"

#include "core/Strings.hpp"
#include "core/Unicode.hpp"

namespace kova {
namespace {

std::string httpDescription(int status, const std::string& body) {
    const auto text = trimmed(body);
    if (containsIgnoringCase(text, "<html") || graphemeCount(text) > 600) {
        return "Serwer zwrócił błąd HTTP " + std::to_string(status) +
               ". Spróbuj ponownie lub skontaktuj się z administratorem.";
    }
    if (text.empty()) {
        return "HTTP " + std::to_string(status);
    }
    return "HTTP " + std::to_string(status) + ": " + text;
}

std::string networkDescription(NetworkErrorCode code) {
    switch (code) {
    case NetworkErrorCode::timedOut:
        return "The request timed out.";
    case NetworkErrorCode::cannotFindHost:
        return "A server with the specified hostname could not be found.";
    case NetworkErrorCode::dnsLookupFailed:
        return "The DNS lookup failed.";
    case NetworkErrorCode::cannotConnectToHost:
        return "Could not connect to the server.";
    case NetworkErrorCode::networkConnectionLost:
        return "The network connection was lost.";
    case NetworkErrorCode::notConnectedToInternet:
        return "The Internet connection appears to be offline.";
    case NetworkErrorCode::secureConnectionFailed:
        return "An SSL error has occurred and a secure connection to the server cannot be made.";
    case NetworkErrorCode::serverCertificateUntrusted:
        return "The certificate for this server is invalid.";
    case NetworkErrorCode::cancelled:
        return "cancelled";
    case NetworkErrorCode::other:
        break;
    }
    return "A network error occurred.";
}

} // namespace

ViewerError::ViewerError(ViewerErrorKind kind, std::string message, int status)
    : kind_(kind), message_(std::move(message)), status_(status) {
    description_ = kind_ == ViewerErrorKind::http ? httpDescription(status_, message_) : message_;
}

ViewerError ViewerError::configuration(std::string message) {
    return {ViewerErrorKind::configuration, std::move(message), 0};
}
ViewerError ViewerError::http(int status, std::string body) {
    return {ViewerErrorKind::http, std::move(body), status};
}
ViewerError ViewerError::invalidResponse(std::string message) {
    return {ViewerErrorKind::invalidResponse, std::move(message), 0};
}
ViewerError ViewerError::temporarilyUnavailable(std::string message) {
    return {ViewerErrorKind::temporarilyUnavailable, std::move(message), 0};
}
ViewerError ViewerError::unsupported(std::string message) {
    return {ViewerErrorKind::unsupported, std::move(message), 0};
}

NetworkError::NetworkError(NetworkErrorCode code, std::string detail) : code_(code) {
    description_ = networkDescription(code);
    if (!detail.empty()) {
        description_ += " (" + detail + ")";
    }
}

DomainError::DomainError(std::string domain, int code, std::string description)
    : domain_(std::move(domain)), code_(code), description_(std::move(description)) {}

std::string errorDescription(const std::exception& error) {
    return error.what();
}

} // namespace kova
