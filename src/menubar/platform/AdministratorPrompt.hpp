#pragma once

#include "menubar/platform/Desktop.hpp"

#include <QStringList>

#include <string>
#include <string_view>

namespace kova::menubar {

// Runs the administrator prompt beside the event loop; `done` runs once on the main thread with
// its exit status or why it did not start. `context` owns the process until it was waited for.
void runAdministratorPrompt(QObject* context, const QString& program, const QStringList& arguments,
                            std::function<void(AdministratorCommandResult)> done);

// `text` for the inside of an AppleScript string literal: a back-slash before
// every back-slash and double quote.
std::string appleScriptStringEscaped(std::string_view text);

// do shell script "<command>" with administrator privileges
std::string administratorAppleScript(std::string_view shellCommand);

} // namespace kova::menubar
