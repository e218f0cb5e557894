#include "menubar/rustdesk/RustDeskLinkOpener.hpp"

#include "core/Errors.hpp"
#include "core/ViewerLogger.hpp"
#include "menubar/rustdesk/RustDeskProtocolLauncher.hpp"
#include "menubar/ui/Background.hpp"
#include "menubar/ui/QtText.hpp"

namespace kova::menubar {

RustDeskLinkOpener::RustDeskLinkOpener(Desktop& desktop, std::shared_ptr<ProcessRunner> runner,
                                       QObject* parent)
    : QObject(parent), desktop_(desktop), runner_(std::move(runner)) {
    launches_.setMaxThreadCount(maximumLaunches);
}

void RustDeskLinkOpener::open(const QList<QUrl>& urls) {
    const QString scheme = QString::fromLatin1(rustDeskScheme);
    QList<QUrl> links;
    for (const auto& url : urls) {
        if (!url.scheme().isEmpty() && url.scheme().compare(scheme, Qt::CaseInsensitive) == 0) {
            links << url;
        }
    }
    if (links.isEmpty()) {
        return;
    }
    if (launchesInFlight_ >= maximumLaunches) {
        ViewerLogger::error("RustDesk link ignored: " + std::to_string(maximumLaunches) +
                            " launches are still waiting for RustDesk.");
        return;
    }
    // The workspace is asked here, on the main thread.
    const auto bundle = desktop_.applicationPath(QString::fromLatin1(rustDeskBundleIdentifier));
    const RustDeskProtocolLauncher launcher(scheme, runner_, [bundle](const QString&) { return bundle; });
    ++launchesInFlight_;
    const auto finished = [this](const QStringList& failures) {
        --launchesInFlight_;
        for (const auto& message : failures) {
            Q_EMIT failed(message);
        }
    };
    runInBackground(
        this,
        [launcher, links] {
            QStringList failures;
            for (const auto& url : links) {
                try {
                    const auto request = launcher.parse(url);
                    launcher.setConsultantDisplayName(request.consultantName);
                    launcher.connect(request);
                    ViewerLogger::info("RustDesk connection launched for remote ID " +
                                       request.remoteID.toStdString() + ".");
                } catch (const std::exception& error) {
                    ViewerLogger::error(error, "RustDesk protocol launch failed");
                    failures << qtText(errorDescription(error));
                }
            }
            return failures;
        },
        finished, &launches_);
}

} // namespace kova::menubar
