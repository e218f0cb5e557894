#include "core/Files.hpp"
#include "core/Stop.hpp"
#include "process/PosixSpawn.hpp"
#include "process/ProcessRunner.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#ifdef __linux__
#include <sys/syscall.h>
#endif

extern char** environ;

namespace kova {
namespace {

using Clock = std::chrono::steady_clock;
using Fd = files::UniqueFd;

// Returns 0 or the errno. Both ends are close-on-exec; only the child's dup2
// copies on 0/1/2 survive its exec. Apple has no pipe2: there the flag comes
// a step later, and the spawn's POSIX_SPAWN_CLOEXEC_DEFAULT covers the gap.
int makePipe(Fd& readEnd, Fd& writeEnd) {
    int fds[2];
#ifdef __APPLE__
    if (::pipe(fds) != 0) {
        return errno;
    }
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
#else
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return errno;
    }
#endif
    readEnd = Fd(fds[0]);
    writeEnd = Fd(fds[1]);
    return 0;
}

void setNonBlocking(const Fd& fd) {
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK);
    }
}

// Lets poll() wake up when the child exits; an invalid Fd means the caller
// falls back to checking with waitpid on a short tick.
Fd openPidFd([[maybe_unused]] pid_t pid) {
#if defined(__linux__) && defined(SYS_pidfd_open)
    const long fd = ::syscall(SYS_pidfd_open, pid, 0); // close-on-exec by definition
    if (fd >= 0) {
        return Fd(static_cast<int>(fd));
    }
#endif
    return Fd();
}

// Owns a started child until it is reaped; a child still running when the
// owner unwinds is killed with its whole group and waited for, so no path
// leaves a zombie or an orphaned command behind.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid) {}
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (!reaped_) {
            signalGroup(SIGKILL);
            while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }

    pid_t pid() const { return pid_; }
    bool reaped() const { return reaped_; }
    int status() const { return status_; }
    bool statusKnown() const { return statusKnown_; }

    // Only called while the child is unreaped, so its pid (which is also the
    // group id) cannot have been reused.
    void signalGroup(int signal) const {
        if (::killpg(pid_, signal) != 0) {
            ::kill(pid_, signal);
        }
    }

    bool tryReap() {
        for (;;) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                reaped_ = true;
                statusKnown_ = true;
                status_ = status;
                return true;
            }
            if (r == 0) {
                return false;
            }
            if (errno == EINTR) {
                continue;
            }
            // ECHILD: someone else reaped it (SIGCHLD ignored); the status is lost.
            reaped_ = true;
            return true;
        }
    }

private:
    pid_t pid_;
    bool reaped_ = false;
    bool statusKnown_ = false;
    int status_ = 0;
};

enum class ReadOutcome { data, wouldBlock, closed };

// One stream's retained bytes: at most `limit`, the rest only counted as lost.
struct Capture {
    std::string& bytes;
    bool& truncated;
    std::size_t limit;

    void append(const char* data, std::size_t size) {
        const std::size_t room = limit > bytes.size() ? limit - bytes.size() : 0;
        if (size > room) {
            truncated = true;
            size = room;
        }
        bytes.append(data, size);
    }
};

ReadOutcome readOnce(Fd& fd, Capture& into) {
    std::array<char, 65536> buffer;
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n > 0) {
            into.append(buffer.data(), static_cast<std::size_t>(n));
            return ReadOutcome::data;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return ReadOutcome::wouldBlock;
        }
        fd.reset(); // end of file or a broken pipe
        return ReadOutcome::closed;
    }
}

// Takes what is already buffered without waiting; bounded so a writer that
// never pauses cannot keep the caller here.
void readBuffered(Fd& fd, Capture& into) {
    for (int i = 0; i < 64 && fd; ++i) {
        if (readOnce(fd, into) != ReadOutcome::data) {
            return;
        }
    }
}

// Makes `fd` the child's standard stream `target`. Under Apple's
// POSIX_SPAWN_CLOEXEC_DEFAULT a descriptor that already is `target` must be
// named to be inherited (a dup2 onto itself is no action there).
void addStandardStream(SpawnFileActions& actions, int fd, int target) {
#ifdef __APPLE__
    if (fd == target) {
        posix_spawn_file_actions_addinherit_np(&actions.value, target);
        return;
    }
#endif
    posix_spawn_file_actions_adddup2(&actions.value, fd, target);
}

int pollTimeoutMs(Clock::time_point now, Clock::time_point wake) {
    if (wake == Clock::time_point::max()) {
        return -1;
    }
    if (wake <= now) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

// Runs children with posix_spawn in their own process group and collects both
// pipes with poll() on the calling thread. Stateless, so any thread may call it.
class SystemProcessRunner final : public ProcessRunner {
public:
    ProcessResult run(const ProcessSpec& spec, StopToken stop) override;
};

ProcessResult SystemProcessRunner::run(const ProcessSpec& spec, StopToken stop) {
    ProcessResult result;
    const auto start = Clock::now();

    Fd outRead, outWrite, errRead, errWrite, wakeRead, wakeWrite;
    int error = 0;
    if (!spec.discardOutput) {
        error = makePipe(outRead, outWrite);
        if (error == 0 && !spec.mergeStandardError) {
            error = makePipe(errRead, errWrite);
        }
    }
    if (error == 0) {
        error = makePipe(wakeRead, wakeWrite);
    }
    if (error != 0) {
        result.launchError = error;
        return result;
    }
    if (outRead) {
        setNonBlocking(outRead);
    }
    setNonBlocking(wakeRead);
    setNonBlocking(wakeWrite);
    if (errRead) {
        setNonBlocking(errRead);
    }

    SpawnFileActions actions;
    posix_spawn_file_actions_addopen(&actions.value, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (spec.discardOutput) {
        posix_spawn_file_actions_addopen(&actions.value, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions.value, STDOUT_FILENO, STDERR_FILENO);
    } else {
        addStandardStream(actions, outWrite.get(), STDOUT_FILENO);
        addStandardStream(actions, spec.mergeStandardError ? outWrite.get() : errWrite.get(), STDERR_FILENO);
    }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Descriptors opened without O_CLOEXEC elsewhere in the process stay out of the child.
    posix_spawn_file_actions_addclosefrom_np(&actions.value, STDERR_FILENO + 1);
#endif

    // A group of its own lets a time-out reach the command's own children.
    SpawnAttributes attributes;
    short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#ifdef __APPLE__
    // Apple has no close-range action: the child gets only the three
    // standard streams named above, never another thread's pipe ends (one
    // held by an unrelated child would keep that reader waiting for its exit).
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
    posix_spawnattr_setflags(&attributes.value, flags);
    posix_spawnattr_setpgroup(&attributes.value, 0);
    attributes.resetSignals();

    std::vector<char*> argv;
    argv.reserve(spec.arguments.size() + 2);
    argv.push_back(const_cast<char*>(spec.executable.c_str()));
    for (const auto& argument : spec.arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    pid_t pid = 0;
    error =
        ::posix_spawn(&pid, spec.executable.c_str(), &actions.value, &attributes.value, argv.data(), environ);
    if (error != 0) {
        result.launchError = error;
        return result;
    }
    result.launched = true;
    Child child(pid);
    // The parent's write ends must go, or the pipes never reach end of file.
    outWrite.reset();
    errWrite.reset();
    Fd pidFd = openPidFd(pid);

    // Declared after wakeWrite: its destructor waits for a running callback,
    // so the descriptor outlives every write to it.
    StopCallback onStop(stop, [&wakeWrite] {
        const char byte = 1;
        [[maybe_unused]] const auto n = ::write(wakeWrite.get(), &byte, 1);
    });

    Capture out{result.standardOutput, result.standardOutputTruncated, spec.outputLimitBytes};
    Capture err{result.standardError, result.standardErrorTruncated, spec.outputLimitBytes};
    const auto deadline = spec.timeLimit ? start + *spec.timeLimit : Clock::time_point::max();
    auto killAt = Clock::time_point::max();
    auto drainUntil = Clock::time_point::max();
    bool termSent = false;
    bool killSent = false;
    bool stopRequested = false;
    constexpr auto fallbackTick = std::chrono::milliseconds(20);

    for (;;) {
        const auto now = Clock::now();
        stopRequested = stopRequested || stop.stop_requested();
        // A child that has just exited was not running at the limit.
        if (!child.reaped() && !termSent && (stopRequested || now >= deadline) && child.tryReap()) {
            drainUntil = now + spec.drainGrace;
        }
        if (!child.reaped()) {
            if (!termSent && (stopRequested || now >= deadline)) {
                result.timedOut = !stopRequested;
                result.stopped = stopRequested;
                child.signalGroup(SIGTERM);
                termSent = true;
                killAt = now + spec.killGrace;
            }
            if (termSent && !killSent && now >= killAt) {
                child.signalGroup(SIGKILL);
                killSent = true;
            }
        } else if ((!outRead && !errRead) || stopRequested || now >= drainUntil) {
            break;
        }

        auto wake = Clock::time_point::max();
        if (!child.reaped()) {
            if (!termSent) {
                wake = std::min(wake, deadline);
            } else if (!killSent) {
                wake = std::min(wake, killAt);
            }
            if (!pidFd) {
                wake = std::min(wake, now + fallbackTick);
            }
        } else {
            wake = std::min(wake, drainUntil);
        }

        std::array<pollfd, 4> fds{};
        nfds_t count = 0;
        auto add = [&](const Fd& fd) -> int {
            if (!fd) {
                return -1;
            }
            fds[count] = pollfd{fd.get(), POLLIN, 0};
            return static_cast<int>(count++);
        };
        const int outIndex = add(outRead);
        const int errIndex = add(errRead);
        const int wakeIndex = stopRequested ? -1 : add(wakeRead);
        const int pidIndex = child.reaped() ? -1 : add(pidFd);

        const int ready = ::poll(fds.data(), count, pollTimeoutMs(now, wake));
        if (ready < 0) {
            if (errno != EINTR) {
                // Out of kernel resources; retry shortly rather than spin.
                ::usleep(static_cast<useconds_t>(std::chrono::microseconds(fallbackTick).count()));
            }
            continue;
        }
        if (outIndex >= 0 && fds[outIndex].revents != 0) {
            readOnce(outRead, out);
        }
        if (errIndex >= 0 && fds[errIndex].revents != 0) {
            readOnce(errRead, err);
        }
        if (wakeIndex >= 0 && fds[wakeIndex].revents != 0) {
            stopRequested = true;
        }
        const bool mayHaveExited = pidIndex >= 0 ? fds[pidIndex].revents != 0 : !pidFd;
        if (!child.reaped() && mayHaveExited && child.tryReap()) {
            // A background process of the command may hold the pipes open
            // for ever; its later output is not waited for beyond the grace.
            drainUntil = Clock::now() + spec.drainGrace;
        }
    }
    readBuffered(outRead, out);
    readBuffered(errRead, err);

    if (child.statusKnown()) {
        const int status = child.status();
        if (WIFEXITED(status)) {
            result.exitStatus = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            result.exitStatus = WTERMSIG(status);
            result.signalled = true;
        }
    }
    result.duration = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    return result;
}

} // namespace

std::shared_ptr<ProcessRunner> systemProcessRunner() {
    static const auto runner = std::make_shared<SystemProcessRunner>();
    return runner;
}

} // namespace kova
