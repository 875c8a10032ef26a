#pragma once

// One Qt application for a whole widget test binary, on the offscreen platform, with the main
// queue running in its loop as in the program.

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>
#include <chrono>
#include <functional>

#include "tests/support/TestProcess.h"

namespace vantrel::testsupport {

inline void ensureOffscreenApplication() {
    static QApplication* application = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "vantrel_widget_test";
        static char* argv[] = {name, nullptr};
        auto* app = new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        mainQueue().setDispatcher([](std::function<void()> work) {
            QMetaObject::invokeMethod(qApp, std::move(work), Qt::QueuedConnection);
        });
        return app;
    }();
    (void)application;
}

// Runs the event loop until `condition` holds; false after five seconds.
inline bool processEventsUntil(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

}  // namespace vantrel::testsupport
