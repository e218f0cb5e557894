#pragma once

#include <filesystem>
#include <string>

// The "client_uninstall" work: a bash script that removes the whole product
// (the daemon included), started detached in a session of its own so that
// launchd's bootout of the daemon's process group does not take it along.
// Stateless; any thread may call it.
namespace kova::SelfUninstall {

// "/tmp/sekwo-tarnvik-uninstall.log".
std::filesystem::path logPath();

// Every step in its order; each one writes a line to standard output.
std::string script();

// An open descriptor, closed when the object goes.
class OpenFile {
public:
    explicit OpenFile(int fd) : fd_(fd) {}
    ~OpenFile();
    OpenFile(OpenFile&& other) noexcept;
    OpenFile& operator=(OpenFile&&) = delete;
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Opens the log for appending. The directory is world-writable, so nothing
// planted at the name is followed or written into: a symbolic link, a FIFO
// or device, a hard link or a file of another user is removed and the log
// created afresh. Throws std::system_error.
OpenFile openLog(const std::filesystem::path& path);

// Runs "/bin/bash -lc SCRIPT" in a new session with standard output and
// standard error appended to the log (or discarded when the log cannot be
// opened), and waits for bash itself, which puts the work in the background
// and returns at once. Throws std::system_error when bash cannot be started.
void startDetached(const std::string& script, const std::filesystem::path& log);

} // namespace kova::SelfUninstall
