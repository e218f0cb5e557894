#pragma once

#include <QString>
#include <QWidget>

namespace kova::test {

// The child widget with that object name; a missing one ends the test run,
// since every later step would only dereference null.
template <typename T> T* findWidget(QWidget* window, const char* name) {
    auto* widget = window->findChild<T*>(QString::fromLatin1(name));
    if (!widget) {
        qFatal("no widget %s", name);
    }
    return widget;
}

} // namespace kova::test
