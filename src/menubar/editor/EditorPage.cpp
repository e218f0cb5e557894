#include "menubar/editor/EditorPage.hpp"

#include <QJsonArray>
#include <QJsonDocument>

namespace kova::menubar::editorPage {
namespace {

constexpr char page[] = R"(<!DOCTYPE html>
<html>
<head>
<meta charset="utf-8">
<script src="tinymce.min.js"></script>
<style>html,body{margin:0;height:100%;background:#fff} .tox-tinymce{border:0!important;border-radius:0!important}</style>
</head>
<body>
<textarea id="editor"></textarea>
<script>
var editor;
window.setEditorContent = function (v) {
    if (window.editor) {
        window.editor.setContent((v && v[0]) || '');
    }
};
</script>
<script>
tinymce.init({
    selector: '#editor',
    language: 'pl',
    language_url: 'langs/pl.js',
    height: '100%',
    menubar: false,
    statusbar: false,
    resize: false,
    plugins: 'lists link code',
    toolbar: 'undo redo bold italic underline strikethrough bullist numlist link code removeformat',
    skin: 'oxide',
    content_css: 'default',
    setup: function (e) {
        window.editor = e;
        e.on('init', function () { e.setContent(''); });
        e.on('input change undo redo', function () {
            window.webkit.messageHandlers.contentChanged.postMessage(e.getContent());
        });
    }
});
</script>
</body>
</html>
)";

} // namespace

QString pageTemplate() {
    return QString::fromUtf8(page);
}

QString setContentScript(const QString& html) {
    auto json = QString::fromUtf8(QJsonDocument(QJsonArray{html}).toJson(QJsonDocument::Compact));
    if (json.isEmpty()) {
        json = QStringLiteral("[\"\"]");
    }
    return QStringLiteral("window.setEditorContent && window.setEditorContent(") + json +
           QStringLiteral(");");
}

QString readyScript() {
    return QStringLiteral("!!(window.editor && window.editor.initialized)");
}

} // namespace kova::menubar::editorPage
