#include "menubar/rustdesk/RustDeskProtocolLauncher.hpp"

#include "core/Paths.hpp"
#include "core/Strings.hpp"
#include "core/Unicode.hpp"
#include "process/ProcessRunner.hpp"

#include <QRegularExpression>
#include <QUrlQuery>

#include <map>
#include <system_error>
#include <unistd.h>

namespace kova::menubar {
namespace {

constexpr std::size_t maximumKeyCharacters = 1024;
constexpr std::size_t maximumConsultantNameCharacters = 128;

bool matches(const QRegularExpression& pattern, const QString& value) {
    return pattern.match(value).hasMatch();
}

// Bounded, printable free text: the key and the consultant's name.
bool acceptableText(const QString& value, std::size_t maximumCharacters) {
    const std::string utf8 = value.toStdString();
    return graphemeCount(utf8) <= maximumCharacters && !containsControlCharacters(utf8);
}

} // namespace

QString rustDeskLaunchErrorDescription(RustDeskLaunchError error) {
    switch (error) {
    case RustDeskLaunchError::invalidLink:
        return QStringLiteral("Link połączenia RustDesk jest nieprawidłowy.");
    case RustDeskLaunchError::invalidRemoteID:
        return QStringLiteral("Link nie zawiera prawidłowego ID zdalnego urządzenia.");
    case RustDeskLaunchError::invalidServer:
        return QStringLiteral("Link zawiera nieprawidłowy adres serwera RustDesk.");
    case RustDeskLaunchError::notInstalled:
        return QStringLiteral("Aplikacja RustDesk nie jest zainstalowana na tym Macu.");
    case RustDeskLaunchError::launchFailed:
        return QStringLiteral("RustDesk nie przyjął parametrów połączenia.");
    }
    return {};
}

RustDeskLaunchFailure::RustDeskLaunchFailure(RustDeskLaunchError error)
    : error_(error), description_(rustDeskLaunchErrorDescription(error).toStdString()) {}

std::filesystem::path rustDeskPrimaryExecutable() {
    return paths::fixed("/Applications/RustDesk.app/Contents/MacOS/RustDesk");
}

bool isExecutableFile(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

RustDeskProtocolLauncher::RustDeskProtocolLauncher(QString scheme, std::shared_ptr<ProcessRunner> runner,
                                                   ApplicationFinder finder)
    : scheme_(std::move(scheme)), runner_(std::move(runner)), finder_(std::move(finder)) {}

RustDeskLaunchRequest RustDeskProtocolLauncher::parse(const QUrl& url) const {
    if (!url.isValid() || url.scheme().compare(scheme_, Qt::CaseInsensitive) != 0) {
        throw RustDeskLaunchFailure(RustDeskLaunchError::invalidLink);
    }
    std::map<QString, QString> items;
    for (const auto& [name, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
        // The same item twice leaves it open which one the helpdesk meant.
        if (!items.emplace(name.toLower(), value).second) {
            throw RustDeskLaunchFailure(RustDeskLaunchError::invalidLink);
        }
    }
    const auto item = [&items](const char* name) {
        const auto found = items.find(QString::fromLatin1(name));
        return found == items.end() ? QString() : found->second.trimmed();
    };

    static const QRegularExpression remoteIdPattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z0-9_-]{3,80}")));
    static const QRegularExpression hostPattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z0-9.-]+(:[0-9]{1,5})?")));

    RustDeskLaunchRequest request;
    request.remoteID = items.contains(QStringLiteral("id")) ? item("id") : item("remote_id");
    request.server = item("server");
    request.relay = item("relay");
    request.key = item("key");
    request.consultantName = item("consultant_name");
    // Every value becomes an argument of RustDesk: one that begins with "-"
    // would be read as an option of its own (any web page can open a link).
    for (const QString* value :
         {&request.remoteID, &request.server, &request.relay, &request.key, &request.consultantName}) {
        if (value->startsWith(QLatin1Char('-'))) {
            throw RustDeskLaunchFailure(RustDeskLaunchError::invalidLink);
        }
    }
    if (!matches(remoteIdPattern, request.remoteID)) {
        throw RustDeskLaunchFailure(RustDeskLaunchError::invalidRemoteID);
    }
    if (!matches(hostPattern, request.server) || !matches(hostPattern, request.relay)) {
        throw RustDeskLaunchFailure(RustDeskLaunchError::invalidServer);
    }
    if (!acceptableText(request.key, maximumKeyCharacters) ||
        !acceptableText(request.consultantName, maximumConsultantNameCharacters)) {
        throw RustDeskLaunchFailure(RustDeskLaunchError::invalidLink);
    }
    return request;
}

QStringList RustDeskProtocolLauncher::connectionArguments(const RustDeskLaunchRequest& request) {
    QStringList arguments{QStringLiteral("--server"), request.server, QStringLiteral("--relay"),
                          request.relay};
    if (!request.key.isEmpty()) {
        arguments << QStringLiteral("--key") << request.key;
    }
    arguments << request.remoteID;
    return arguments;
}

void RustDeskProtocolLauncher::setConsultantDisplayName(const QString& name) const {
    if (!name.isEmpty()) {
        runRustDesk({QStringLiteral("--option"), QStringLiteral("display-name"), name});
    }
}

void RustDeskProtocolLauncher::connect(const RustDeskLaunchRequest& request) const {
    runRustDesk(connectionArguments(request));
}

std::filesystem::path RustDeskProtocolLauncher::rustDeskExecutable() const {
    if (const auto primary = rustDeskPrimaryExecutable(); isExecutableFile(primary)) {
        return primary;
    }
    if (finder_) {
        if (const auto bundle = finder_(QString::fromLatin1(rustDeskBundleIdentifier))) {
            const auto inside = std::filesystem::path(bundle->toStdString()) / "Contents/MacOS/RustDesk";
            if (isExecutableFile(inside)) {
                return inside;
            }
        }
    }
    throw RustDeskLaunchFailure(RustDeskLaunchError::notInstalled);
}

void RustDeskProtocolLauncher::runRustDesk(const QStringList& arguments) const {
    ProcessSpec spec;
    spec.executable = rustDeskExecutable().string();
    for (const auto& argument : arguments) {
        spec.arguments.push_back(argument.toStdString());
    }
    // Its output is never read: a pipe would break under a RustDesk (or a
    // helper it leaves running) that keeps writing after it exits.
    spec.discardOutput = true;
    const ProcessResult result = runner_->run(spec);
    if (!result.launched) {
        throw std::system_error(result.launchError, std::generic_category(), "RustDesk could not be started");
    }
    if (result.signalled || result.exitStatus != 0) {
        throw RustDeskLaunchFailure(RustDeskLaunchError::launchFailed);
    }
}

} // namespace kova::menubar
