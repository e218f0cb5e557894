#include "agent/AgentService.hpp"
#include "config/MacViewerBuildInfo.hpp"
#include "config/ViewerSettings.hpp"
#include "core/Errors.hpp"
#include "core/Stop.hpp"
#include "core/ViewerLogger.hpp"

#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>
#include <pthread.h>
#include <string_view>

namespace {

bool hasArgument(int argc, char** argv, std::string_view wanted) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == wanted) {
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    using namespace kova;
    if (hasArgument(argc, argv, "--version")) {
        std::cout << MacViewerBuildInfo::version << '\n';
        return 0;
    }

    std::optional<ViewerSettings> settings;
    try {
        settings = ViewerSettings::load();
    } catch (const std::exception& e) {
        ViewerLogger::error(e, "Sekwo Tarnvik macOS daemon failed to start");
        std::cerr << "Sekwo Tarnvik daemon failed: " << errorDescription(e) << '\n';
        return 1;
    }

    // Termination signals are taken synchronously by this thread; every other
    // thread inherits the blocked mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A closed pipe to a child must surface as an error, not end the daemon.
    std::signal(SIGPIPE, SIG_IGN);

    AgentService service(*settings);
    if (hasArgument(argc, argv, "--once")) {
        service.runOnce();
        return 0;
    }

    JThread runner([&service](StopToken stop) { service.runForever(stop); });
    int received = 0;
    sigwait(&signals, &received);
    ViewerLogger::info(std::string("Sekwo Tarnvik macOS daemon stopping (") +
                       (received == SIGTERM ? "SIGTERM" : "SIGINT") + ").");
    runner.request_stop();
    runner.join();
    return 0;
}
