#include "config/MacViewerBuildInfo.hpp"
#include "core/Stop.hpp"
#include "core/ViewerLogger.hpp"
#include "menubar/app/ApplicationInstanceLock.hpp"
#include "menubar/app/KovaViewerMenuBarApp.hpp"
#include "menubar/app/MenuBarEntry.hpp"
#include "menubar/platform/Desktop.hpp"
#include "menubar/rustdesk/RustDeskProtocolLauncher.hpp"
#include "menubar/ui/BundleResources.hpp"
#include "platform/SystemFacts.hpp"
#include "process/ProcessRunner.hpp"

#include <QApplication>
#include <QDir>
#include <QIcon>

#include <chrono>
#include <csignal>
#include <iostream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
    using namespace kova;
    using namespace kova::menubar;
    const std::vector<std::string> arguments(argv, argv + argc);

    // Everything up to the lock runs without Qt: without a display Qt aborts.
    if (entry::hasArgument(arguments, entry::versionFlag)) {
        std::cout << MacViewerBuildInfo::version << '\n';
        return 0;
    }
#ifdef __APPLE__
    // Only a Mac has application bundles and LaunchServices to hand a launch to.
    if (entry::relaunchThroughLaunchServicesIfNeeded(arguments, platform::executablePath(),
                                                     *systemProcessRunner())) {
        return 0;
    }
#endif
    if (::geteuid() == 0 || !desktop::hasGraphicalSession()) {
        ViewerLogger::error("Menu bar launch skipped because no interactive Aqua session is available.");
        return 0;
    }
    // Links of the application's scheme, as the desktop entry passes them.
    const QList<QUrl> links = entry::linkArguments(arguments, rustDeskScheme);
    auto lock = ApplicationInstanceLock::acquire();
    if (!lock) {
        ViewerLogger::info(links.isEmpty()
                               ? "Menu bar already running for this user; asking it to show its window."
                               : "Menu bar already running for this user; handing it the link.");
    }
    if (!lock && !links.isEmpty()) {
        // The running instance takes the links; it may still be starting, so
        // each is tried again once after a pause.
        for (const auto& link : links) {
            if (!desktop::postOpenUrlToRunningApplication(link)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
                if (!desktop::postOpenUrlToRunningApplication(link)) {
                    ViewerLogger::error("RustDesk link could not be handed to the running menu bar.");
                }
            }
        }
        return 0;
    }
    if (!lock) {
        // The running instance may still be starting: a second post gives it another chance.
        const bool first = desktop::postShowRunningApplication();
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        if (!desktop::postShowRunningApplication() && !first) {
            ViewerLogger::warn("The running menu bar did not answer the request to show its window.");
        }
        return 0;
    }
    std::signal(SIGPIPE, SIG_IGN);

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sekwo Tarnvik"));
    QApplication::setOrganizationDomain(QStringLiteral("pl.tarnvik.sekwo"));
    QApplication::setQuitOnLastWindowClosed(false);
#ifndef __APPLE__
    // The windows' icon; a Mac takes the bundle's own.
    if (const QString resources = bundleResourceDirectory(); !resources.isEmpty()) {
        QApplication::setWindowIcon(QIcon(QDir(resources).filePath(QStringLiteral("AppIcon.png"))));
    }
#endif

    auto desktop = createDesktop();
    desktop->setActivationPolicy(ActivationPolicy::accessory);
    KovaViewerMenuBarApp::Dependencies dependencies;
    dependencies.desktop = desktop.get();
    KovaViewerMenuBarApp app(entry::hasArgument(arguments, entry::menuBarFlag), std::move(dependencies));
    app.applicationDidFinishLaunching();
    if (!links.isEmpty()) {
        app.openUrls(links);
    }
    const int status = QApplication::exec();
    app.applicationWillTerminate();
    return status;
}
