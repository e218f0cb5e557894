#include "menubar/ui/Dialogs.hpp"

#include "menubar/ui/QtText.hpp"

#include <QDialog>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>

#include <deque>

namespace kova::menubar::dialogs {
namespace {

constexpr qsizetype maximumTitleLength = 200;
constexpr qsizetype maximumTextLength = 2000;

// Main thread only, like the dialogs themselves.
struct Answers {
    bool enabled = false;
    std::deque<QStringList> openFiles;
    std::deque<std::function<int(QDialog&)>> execs;
    std::vector<testing::Shown> shown;
};

Answers& answers() {
    static Answers instance;
    return instance;
}

} // namespace

void warning(QWidget* parent, const QString& title, const QString& text) {
    // The text often comes from a server or a link: shown as it is, never as
    // markup (no links, images or styles), and cut to what fits an alert.
    const QString shownTitle = shownText(title, maximumTitleLength);
    const QString shownBody = shownText(text, maximumTextLength);
    if (answers().enabled) {
        answers().shown.push_back({shownTitle, shownBody});
        return;
    }
    QMessageBox box(QMessageBox::Warning, shownTitle, shownTitle, QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("alert"));
    box.setInformativeText(shownBody);
    // The box's own text format reaches only its main label: every label is
    // set, the informative one (made with the text above) included.
    box.setTextFormat(Qt::PlainText);
    for (auto* label : box.findChildren<QLabel*>()) {
        label->setTextFormat(Qt::PlainText);
        label->setOpenExternalLinks(false);
    }
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
}

QStringList openFiles(QWidget* parent, const QString& acceptLabel) {
    auto& state = answers();
    if (state.enabled) {
        if (state.openFiles.empty()) {
            return {};
        }
        auto next = std::move(state.openFiles.front());
        state.openFiles.pop_front();
        return next;
    }
    QFileDialog dialog(parent);
    dialog.setObjectName(QStringLiteral("openPanel"));
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setLabelText(QFileDialog::Accept, acceptLabel);
    if (dialog.exec() != QDialog::Accepted) {
        return {};
    }
    return dialog.selectedFiles();
}

int exec(QDialog& dialog) {
    auto& state = answers();
    if (state.enabled) {
        if (state.execs.empty()) {
            return QDialog::Rejected;
        }
        auto answer = std::move(state.execs.front());
        state.execs.pop_front();
        return answer(dialog);
    }
    return dialog.exec();
}

namespace testing {

void enable() {
    answers() = Answers{};
    answers().enabled = true;
}

void answerNextOpenFiles(QStringList paths) {
    answers().openFiles.push_back(std::move(paths));
}

void answerNextExec(std::function<int(QDialog&)> answer) {
    answers().execs.push_back(std::move(answer));
}

std::vector<Shown> takeShown() {
    return std::exchange(answers().shown, {});
}

} // namespace testing
} // namespace kova::menubar::dialogs
