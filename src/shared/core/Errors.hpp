#pragma once

#include <exception>
#include <string>

// The product's error values. Failures travel as exceptions of these types;
// file errors are std::system_error.
namespace kova {

enum class ViewerErrorKind { configuration, http, invalidResponse, temporarilyUnavailable, unsupported };

class ViewerError : public std::exception {
public:
    static ViewerError configuration(std::string message);
    static ViewerError http(int status, std::string body);
    static ViewerError invalidResponse(std::string message);
    static ViewerError temporarilyUnavailable(std::string message);
    static ViewerError unsupported(std::string message);

    ViewerErrorKind kind() const { return kind_; }
    // The payload of every kind but http.
    const std::string& message() const { return message_; }
    int status() const { return status_; }
    const std::string& body() const { return message_; }
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    ViewerError(ViewerErrorKind kind, std::string message, int status);

    ViewerErrorKind kind_;
    std::string message_;
    int status_ = 0;
    std::string description_;
};

// Failure kinds of URL loading, the same for the HTTP client and WebSockets.
enum class NetworkErrorCode {
    timedOut,
    cannotFindHost,
    dnsLookupFailed,
    cannotConnectToHost,
    networkConnectionLost,
    notConnectedToInternet,
    secureConnectionFailed,
    serverCertificateUntrusted,
    cancelled,
    other,
};

class NetworkError : public std::exception {
public:
    NetworkError(NetworkErrorCode code, std::string detail = {});
    NetworkErrorCode code() const { return code_; }
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    NetworkErrorCode code_;
    std::string description_;
};

// A command handler's failure with a domain ("KovaViewerShell", ...) and an
// HTTP-style code.
class DomainError : public std::exception {
public:
    DomainError(std::string domain, int code, std::string description);
    const std::string& domain() const { return domain_; }
    int code() const { return code_; }
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    std::string domain_;
    int code_;
    std::string description_;
};

// The printable description of any error (ViewerError's description rules included).
std::string errorDescription(const std::exception& error);

} // namespace kova
