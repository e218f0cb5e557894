#pragma once

#include <QString>

// The page both editor implementations load and the calls they make into it,
// so the WebKit and the QtWebEngine views run the same editor.
namespace kova::menubar::editorPage {

// The name the page posts every change under.
inline constexpr char contentChangedName[] = "contentChanged";

// The whole page: TinyMCE with its options, "setEditorContent", and a post of
// the content to the "contentChanged" script message handler on every input,
// change, undo and redo. Loaded with the "tinymce" folder as its base URL.
QString pageTemplate();

// The script that replaces the editor's content with `html`. The text travels
// as a one-element JSON array, which makes any text, quotes, back-slashes
// and line breaks included, a valid script literal.
QString setContentScript(const QString& html);

// The script that answers whether TinyMCE has initialised.
QString readyScript();

} // namespace kova::menubar::editorPage
