#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <type_traits>
#include <utility>

namespace kova::menubar {

// Runs `work` on a worker of `pool` and hands its result to `done` on
// `context`'s thread. The watcher is a child of `context`, so a result that
// comes late never reaches an object that is gone.
template <typename Work, typename Done>
void runInBackground(QObject* context, Work work, Done done,
                     QThreadPool* pool = QThreadPool::globalInstance()) {
    using Result = std::invoke_result_t<Work&>;
    auto* watcher = new QFutureWatcher<Result>(context);
    QObject::connect(watcher, &QFutureWatcher<Result>::finished, context,
                     [watcher, done = std::move(done)]() mutable {
                         watcher->deleteLater();
                         done(watcher->result());
                     });
    watcher->setFuture(QtConcurrent::run(pool, std::move(work)));
}

} // namespace kova::menubar
