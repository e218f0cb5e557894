#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

class QDialog;
class QWidget;

// Every modal dialog of the application goes through here, so a test can
// answer it ahead of time instead of a person. Main thread only.
namespace kova::menubar::dialogs {

// A modal warning alert: the title as message text, the text as informative
// text, a single default "OK" button. Both are shown as plain text, cut to a
// sane length.
void warning(QWidget* parent, const QString& title, const QString& text);

// A multi-select open panel for existing files only, its confirm button
// labelled `acceptLabel`; the chosen absolute paths, empty when cancelled.
QStringList openFiles(QWidget* parent, const QString& acceptLabel);

// Runs a dialog modally and returns its result code.
int exec(QDialog& dialog);

// Once enabled, warnings are recorded instead of shown, openFiles returns the
// next queued answer (none: cancelled) and exec hands the dialog to the next
// queued answer, which may click its buttons, and returns what it returns
// (none: rejected).
namespace testing {

struct Shown {
    QString title;
    QString text;
};

// Also clears the queues and the record.
void enable();
void answerNextOpenFiles(QStringList paths);
void answerNextExec(std::function<int(QDialog&)> answer);
// The warnings shown since the last call, oldest first.
std::vector<Shown> takeShown();

} // namespace testing
} // namespace kova::menubar::dialogs
