#pragma once

#include <QCoreApplication>
#include <QThreadPool>

namespace qel::testing {

// Qt's raster painter fills large areas on worker threads of a pool owned by the application.
// A worker still winding down when the process exits leaves its thread data behind, which the
// leak checker of the sanitizer build reports as a leak of Qt's own. Letting every pool finish
// while the application still exists closes that window.
inline void finish_qt_worker_threads() {
    if (QCoreApplication* app = QCoreApplication::instance()) {
        for (QThreadPool* pool : app->findChildren<QThreadPool*>()) {
            pool->waitForDone();
        }
    }
    QThreadPool::globalInstance()->waitForDone();
}

}  // namespace qel::testing
