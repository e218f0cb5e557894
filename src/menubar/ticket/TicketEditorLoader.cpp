#include "core/ViewerLogger.hpp"
#include "menubar/ticket/TicketEditor.hpp"
#include "menubar/ui/QtText.hpp"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QOpenGLContext>
#include <QPluginLoader>

#include <unistd.h>

// Exported by QtGui (6.4) without a public header: the context the web
// engine shares its GL resources with. Qt::AA_ShareOpenGLContexts would make
// one at start, which loads the GL driver into the idle tray program.
Q_GUI_EXPORT void qt_gl_set_global_share_context(QOpenGLContext* context);

namespace kova::menubar {
namespace {

QString environmentPath(const char* name) {
    return qEnvironmentVariableIsSet(name) ? qEnvironmentVariable(name) : QString();
}

// QtWebEngine's shared GL context, and its sandbox off when running as root.
// The Mac's editor is WebKit, which needs neither.
void prepareWebEngine() {
#ifndef __APPLE__
    if (!QOpenGLContext::globalShareContext()) {
        auto* context = new QOpenGLContext(qApp);
        if (!context->create()) {
            ViewerLogger::warn(
                "Ticket editor: no OpenGL context could be created; the page renders in software.");
        }
        qt_gl_set_global_share_context(context);
    }
    if (geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX")) {
        // Chromium's sandbox refuses to start as root.
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    }
#endif
}

} // namespace

QString ticketEditorResourceDirectory() {
    if (const auto path = environmentPath("KOVA_TICKET_EDITOR_RESOURCES"); !path.isEmpty()) {
        return path;
    }
    const QDir executable(QCoreApplication::applicationDirPath());
    for (const auto* candidate : {"../Resources", "resources"}) {
        if (QFileInfo(executable.filePath(QString::fromLatin1(candidate) + QStringLiteral("/tinymce")))
                .isDir()) {
            return QDir::cleanPath(executable.filePath(QString::fromLatin1(candidate)));
        }
    }
    return {};
}

TicketEditorFactory* ticketEditorFactory() {
    static TicketEditorFactory* factory = []() -> TicketEditorFactory* {
        auto path = environmentPath("KOVA_TICKET_EDITOR_PLUGIN");
        if (path.isEmpty()) {
            // In a bundle (and in an installed payload) the module is in
            // Contents/PlugIns; in a build folder beside the program.
            const QDir executable(QCoreApplication::applicationDirPath());
            const auto folder = QFileInfo(executable.filePath(QStringLiteral("../PlugIns"))).isDir()
                                    ? executable.filePath(QStringLiteral("../PlugIns"))
                                    : executable.path();
            path = QDir(folder).filePath(QStringLiteral("sekwo_ticket_editor"));
        }
        prepareWebEngine();
        // The loader stays alive (and the module loaded) for the process.
        static QPluginLoader loader(path);
        auto* instance = qobject_cast<TicketEditorFactory*>(loader.instance());
        if (!instance) {
            ViewerLogger::error("Ticket editor module failed to load: " + stdText(loader.errorString()));
        }
        return instance;
    }();
    return factory;
}

} // namespace kova::menubar
