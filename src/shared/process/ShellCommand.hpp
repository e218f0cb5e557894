#pragma once

#include "core/Json.hpp"
#include "core/Stop.hpp"
#include "process/ProcessRunner.hpp"

namespace kova {

// Runs the helpdesk's "shell" command: the payload's command line as the
// daemon's user in zsh, bash or sh, with a time limit and a per-stream output
// limit, and returns the result object for the server. Blocks the calling
// thread until the command has ended and its output is collected; a stop
// request ends the command the way the time limit does. Each stream keeps at
// most a fixed number of bytes per allowed character; the rest is drained and
// dropped.
//
// Throws DomainError("KovaViewerShell", 400, ...) for an unsupported shell or
// an empty command (before anything starts), std::system_error with the errno
// when the shell cannot be started, and DomainError("KovaViewerShell", 503,
// ...) when a stop request ended the command.
Json executeShell(const Json& payload, StopToken stop = {});
Json executeShell(ProcessRunner& runner, const Json& payload, StopToken stop = {});

} // namespace kova
