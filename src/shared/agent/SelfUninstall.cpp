#include "agent/SelfUninstall.hpp"

#include "core/Paths.hpp"
#include "core/ShellQuote.hpp"
#include "core/ToolPaths.hpp"
#include "core/ViewerLogger.hpp"
#include "process/PosixSpawn.hpp"

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace kova::SelfUninstall {
namespace {

[[noreturn]] void throwErrno(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

constexpr const char* daemonJob = "/Library/LaunchDaemons/pl.tarnvik.sekwo.daemon.plist";
constexpr const char* legacyDaemonJob = "/Library/LaunchDaemons/pl.wexley.kovadesk.viewer.daemon.plist";
constexpr const char* menuBarJob = "/Library/LaunchAgents/pl.tarnvik.sekwo.menubar.plist";
constexpr const char* legacyMenuBarJob = "/Library/LaunchAgents/pl.wexley.kovadesk.viewer.menubar.plist";

} // namespace

OpenFile::~OpenFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

OpenFile::OpenFile(OpenFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

std::filesystem::path logPath() {
    return paths::fixed("/tmp/sekwo-tarnvik-uninstall.log");
}

std::string script() {
    std::string s;
    const auto line = [&s](const std::string& text) { s += "  " + text + "\n"; };
    const auto quiet = [](const std::string& command) { return command + " >/dev/null 2>&1 || true"; };
    const auto step = [&line](const std::string& text) { line("say " + shellQuoted(text)); };

    const std::string launchctl = tools::launchctl, rm = tools::rm, pkgutil = tools::pkgutil;
    s += "(\n";
    line("say() { printf '%s %s\\n' \"$(/bin/date -u +%Y-%m-%dT%H:%M:%SZ)\" \"$1\"; }");
    step("Sekwo Tarnvik uninstall started.");
    line(std::string(tools::sleep) + " 2");
    step("Stopping the daemon.");
    line(quiet(launchctl + " bootout system " + shellQuoted(daemonJob)));
    step("Stopping the legacy daemon.");
    line(quiet(launchctl + " bootout system " + shellQuoted(legacyDaemonJob)));
    line("console_uid=$(/usr/bin/stat -f %u /dev/console 2>/dev/null)");
    line("case \"$console_uid\" in");
    line("  ''|0|*[!0-9]*) say 'No console user to stop the menu bar app for.' ;;");
    line("  *)");
    line("    say \"Stopping the menu bar app of user $console_uid.\"");
    line("    " + quiet(launchctl + " bootout \"gui/$console_uid\" " + shellQuoted(menuBarJob)));
    line("    " + quiet(launchctl + " bootout \"gui/$console_uid\" " + shellQuoted(legacyMenuBarJob)));
    line("    ;;");
    line("esac");
    step("Removing the launchd job definitions.");
    for (const char* job : {daemonJob, menuBarJob, legacyDaemonJob, legacyMenuBarJob}) {
        line(rm + " -f " + shellQuoted(job));
    }
    step("Removing the applications.");
    for (const char* app : {"/Applications/Sekwo Tarnvik.app", "/Applications/Sekwo Tarnvik.localized",
                            "/Applications/Sekwo Classic.app", "/Applications/Kova-Viewer.app",
                            "/Applications/Centrum Sekwo Tarnvik.app"}) {
        line(rm + " -rf " + shellQuoted(app));
    }
    step("Removing settings, state, runtime files and logs.");
    for (const char* directory :
         {"/Library/Application Support/Sekwo Tarnvik", "/Library/Application Support/Kova-Desk Viewer",
          "/Library/Logs/Sekwo Tarnvik"}) {
        line(rm + " -rf " + shellQuoted(directory));
    }
    step("Forgetting the installer receipts.");
    line(quiet(pkgutil + " --forget pl.wexley.kovadesk.viewer"));
    line(quiet(pkgutil + " --forget pl.tarnvik.sekwo"));
    step("Sekwo Tarnvik uninstall finished.");
    s += ") &\n";
    return s;
}

OpenFile openLog(const std::filesystem::path& path) {
    const char* name = path.c_str();
    // A few rounds: each one removes what someone planted since the last.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd = ::open(name, O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            OpenFile file(fd);
            struct stat st {};
            if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
                st.st_uid == ::geteuid()) {
                ::fcntl(fd, F_SETFL, O_APPEND);
                return file;
            }
        } else if (errno == ENOENT) {
            const int created =
                ::open(name, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (created >= 0) {
                return OpenFile(created);
            }
            if (errno != EEXIST) {
                throwErrno(errno, "create " + path.string());
            }
            continue;
        } else if (errno != ELOOP && errno != EMLINK && errno != ENXIO && errno != EACCES) {
            // ELOOP and EMLINK: a symbolic link; ENXIO: a FIFO without a reader.
            throwErrno(errno, "open " + path.string());
        }
        if (::unlink(name) != 0 && errno != ENOENT) {
            throwErrno(errno, "remove " + path.string());
        }
    }
    throwErrno(EEXIST, "open " + path.string());
}

void startDetached(const std::string& script, const std::filesystem::path& log) {
    std::optional<OpenFile> output;
    try {
        output.emplace(openLog(log));
    } catch (const std::system_error& error) {
        ViewerLogger::warn(std::string("Uninstall log unavailable: ") + error.what());
    }

    SpawnFileActions actions;
    posix_spawn_file_actions_addopen(&actions.value, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (output) {
        posix_spawn_file_actions_adddup2(&actions.value, output->get(), STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions.value, output->get(), STDERR_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions.value, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions.value, STDOUT_FILENO, STDERR_FILENO);
    }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(&actions.value, STDERR_FILENO + 1);
#endif

    SpawnAttributes attributes;
    // A session of its own: launchd ends the daemon's whole process group.
    short flags = POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#ifdef POSIX_SPAWN_CLOEXEC_DEFAULT
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
    posix_spawnattr_setflags(&attributes.value, flags);
    attributes.resetSignals();

    std::vector<std::string> arguments = {tools::bash, "-lc", script};
    std::vector<char*> argv;
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (const int error =
            ::posix_spawn(&pid, tools::bash, &actions.value, &attributes.value, argv.data(), environ);
        error != 0) {
        throwErrno(error, std::string("start ") + tools::bash);
    }
    // bash leaves the work to its background subshell and exits at once.
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

} // namespace kova::SelfUninstall
