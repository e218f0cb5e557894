#pragma once

#include "menubar/platform/Desktop.hpp"

#include <QStringList>

#include <string>
#include <string_view>

namespace kova::menubar {

// Runs the desktop's administrator prompt (`program` with `arguments`) beside
// the event loop, so the window stays responsive while it is open. `done`
// runs once on the main thread, through `context`, with the prompt's exit
// status or why it could not be started; the process object is owned by
// `context` until it has ended and been waited for. Main thread only.
void runAdministratorPrompt(QObject* context, const QString& program, const QStringList& arguments,
                            std::function<void(AdministratorCommandResult)> done);

// `text` for the inside of an AppleScript string literal: back-slashes doubled
// first, then every double quote preceded by a back-slash.
std::string appleScriptStringEscaped(std::string_view text);

// do shell script "<command>" with administrator privileges
std::string administratorAppleScript(std::string_view shellCommand);

} // namespace kova::menubar
