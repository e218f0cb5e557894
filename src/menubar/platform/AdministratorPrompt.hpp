#pragma once

#include "menubar/platform/Desktop.hpp"

#include <QStringList>

namespace kova::menubar {

// Runs the desktop's administrator prompt (`program` with `arguments`) beside
// the event loop, so the window stays responsive while it is open. `done`
// runs once on the main thread, through `context`, with the prompt's exit
// status or why it could not be started; the process object is owned by
// `context` until it has ended and been waited for. Main thread only.
void runAdministratorPrompt(QObject* context, const QString& program, const QStringList& arguments,
                            std::function<void(AdministratorCommandResult)> done);

} // namespace kova::menubar
