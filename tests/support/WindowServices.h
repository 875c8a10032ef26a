#pragma once

// The window's services for tests: the process's own (app/WindowHost.h), with a notification
// centre of the test's in place of the process's where a test needs to see that the window
// posts and listens only where it is told to.

#include "app/WindowHost.h"
#include "base/Notifications.h"
#include "tests/support/InProcessMac.h"

namespace vantrel::testsupport {

// The process's window services on the Mac in use (TempMac::useInProcess); the quit button
// runs `cancelAllDownloads`.
inline WindowServices inProcessWindowServices(std::function<void()> cancelAllDownloads = [] {}) {
    return processWindowServices(inProcessServices(), std::move(cancelAllDownloads));
}

inline WindowServices windowServicesWith(NotificationCenter& center,
                                         const WindowServices& from = inProcessWindowServices()) {
    return WindowServices{
        .settings = from.settings,
        .notifications = center,
        .logMain = from.logMain,
        .runOnMainQueue = from.runOnMainQueue,
        .handMainQueueTo = from.handMainQueueTo,
        .serveMainQueue = from.serveMainQueue,
        .cancelAllDownloads = from.cancelAllDownloads,
        .openURLAsConsoleUser = from.openURLAsConsoleUser,
        .exitProcess = from.exitProcess,
        .resourcesFolder = from.resourcesFolder,
        .temporaryFolder = from.temporaryFolder,
    };
}

}  // namespace vantrel::testsupport
