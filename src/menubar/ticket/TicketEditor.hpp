#pragma once

#include <QString>
#include <QtPlugin>

#include <functional>

class QWidget;

namespace kova::menubar {

// The ticket description editor as the form sees it. The editor module
// (src/menubar/editor) implements it on a widget; the program itself never
// links the web engine. Main thread only.
class TicketEditor {
public:
    virtual ~TicketEditor() = default;
    // The editor's widget; it is also the object implementing this interface.
    virtual QWidget* widget() = 0;
    // Replaces the page's content and pendingHTML.
    virtual void setHtml(const QString& html) = 0;
    // The content as last reported by the page or last set here.
    virtual QString pendingHTML() const = 0;
    virtual void setOnContentChanged(std::function<void(const QString&)> callback) = 0;
    // Called once the editor in the page has initialised (at once when it has).
    virtual void whenReady(std::function<void()> callback) = 0;
};

// The module's entry: one factory per loaded module.
class TicketEditorFactory {
public:
    virtual ~TicketEditorFactory() = default;
    // A new editor owned by `parent`, loading the editor files from
    // `resourceDirectory` (the directory that holds "tinymce").
    virtual TicketEditor* createEditor(QWidget* parent, const QString& resourceDirectory) = 0;
};

// Loads the editor module the first time it is asked for. Where the module
// is: the environment's KOVA_TICKET_EDITOR_PLUGIN (tests and benchmarks),
// else the bundle's "../PlugIns" when there is one, else next to the
// executable. Creates the shared GL context the web engine
// needs just before loading it, and turns Chromium's sandbox off when
// running as root (the sandbox refuses root). Null, with the reason logged,
// when the module cannot be loaded.
TicketEditorFactory* ticketEditorFactory();
// Where the editor's resource directory is: next to the executable
// ("resources", or the bundle's "../Resources"); KOVA_TICKET_EDITOR_RESOURCES
// overrides it.
QString ticketEditorResourceDirectory();

} // namespace kova::menubar

#define KovaTicketEditorFactory_iid "pl.tarnvik.sekwo.TicketEditorFactory/1"
Q_DECLARE_INTERFACE(kova::menubar::TicketEditorFactory, KovaTicketEditorFactory_iid)
