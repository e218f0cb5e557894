// The module's entry point: the menu bar program loads it with QPluginLoader.
#include "menubar/ticket/TicketEditor.hpp"
#ifdef __APPLE__
#include "menubar/editor/darwin/TinyMCEEditor.hpp"
#else
#include "menubar/editor/TinyMCEEditor.hpp"
#endif

#include <QObject>

namespace kova::menubar {

class TicketEditorPlugin : public QObject, public TicketEditorFactory {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID KovaTicketEditorFactory_iid)
    Q_INTERFACES(kova::menubar::TicketEditorFactory)
public:
    TicketEditor* createEditor(QWidget* parent, const QString& resourceDirectory) override {
        return new TinyMCEEditor(resourceDirectory, parent);
    }
};

} // namespace kova::menubar

#include "TicketEditorPlugin.moc"
