// The window plug-in: the toolkit's side of the seam in app/WindowHost.h. Its references to
// the program's own code (settings, notifications, the main queue) are resolved against the
// executable when the plug-in is loaded, so both share one instance of each.
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QMetaObject>
#include <QWidget>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/WindowHost.h"
#include "platform/Console.h"
#include "ui/WindowServices.h"
#include "platform/Machine.h"
#include "platform/Queues.h"
#include "ui/Storyboard.h"

namespace vantrel {

namespace {

bool hasEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

// Picks the toolkit's platform: the display when there is one, else the offscreen platform,
// which is also the fallback when the display cannot be reached. The program never stops
// for want of a display.
void choosePlatform() {
    std::string platforms;
    if (hasEnvironment("QT_QPA_PLATFORM")) {
        platforms = std::getenv("QT_QPA_PLATFORM");
    } else if (hasEnvironment("WAYLAND_DISPLAY")) {
        platforms = "wayland;xcb";
    } else if (hasEnvironment("DISPLAY")) {
        platforms = "xcb";
    }
    if (platforms.find("offscreen") == std::string::npos) {
        platforms += platforms.empty() ? "offscreen" : ";offscreen";
    }
    ::setenv("QT_QPA_PLATFORM", platforms.c_str(), 1);
}

bool isPrivateFolder(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::geteuid() && (info.st_mode & 07777) == 0700;
}

// The toolkit keeps its sockets and locks in the user's runtime folder, which must be the
// user's own with mode 0700. Root started from a management agent or sudo has none, and the
// toolkit would complain on standard error and fall back to a folder in /tmp that anyone
// could have made first. So root gets a folder of its own in the Mac's temporary folder
// (root's alone); when someone else made that one, a fresh one beside it.
void useAPrivateRuntimeFolder() {
    if (const char* given = std::getenv("XDG_RUNTIME_DIR"); given && isPrivateFolder(given)) {
        return;
    }
    const std::string temporary = windowServices().platform->root
            .host(windowServices().platform->machine.temporaryDirectory())
            .string();
    std::string folder = temporary + "runtime";
    (void)::mkdir(folder.c_str(), 0700);
    if (!isPrivateFolder(folder)) {
        std::string fresh = temporary + "runtime-XXXXXX";
        folder = ::mkdtemp(fresh.data()) ? fresh : "";
    }
    if (!folder.empty()) {
        ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    }
}

class QtWindowHost final : public WindowHost {
  public:
    void showMainWindow() override {
        choosePlatform();
        useAPrivateRuntimeFolder();
        static int argc = 1;
        static char name[] = "Vantrel";
        static char* argv[] = {name, nullptr};
        application_ = std::make_unique<QApplication>(argc, argv);
        QApplication::setQuitOnLastWindowClosed(true);
        // From here on the main queue's work runs inside the toolkit's loop, in order.
        platform::mainqueue::setDispatcher([](std::function<void()> work) {
            QMetaObject::invokeMethod(qApp, std::move(work), Qt::QueuedConnection);
        });
        window_.reset(storyboard::instantiateController("mainStoryboard"));
        window_->setWindowFlag(Qt::WindowStaysOnTopHint);
        window_->show();
        if (QGuiApplication::platformName() != "offscreen") {  // nothing to raise there
            window_->raise();
        }
        window_->activateWindow();
    }

    bool reachesADisplay() const override {
        const QString platform = QGuiApplication::platformName();
        return application_ && platform != "offscreen" && platform != "minimal";
    }

    [[noreturn]] void runEventLoop(std::function<void()> willTerminate) override {
        if (!application_) {  // no window was shown: the plain main loop serves the run
            platform::mainqueue::runMainLoop();
        }
        QApplication::exec();  // returns when the last window has closed
        willTerminate();
        platform::exitProcess(0);
    }

  private:
    std::unique_ptr<QApplication> application_;
    std::unique_ptr<QWidget> window_;
};

}  // namespace

}  // namespace vantrel

extern "C" __attribute__((visibility("default"))) vantrel::WindowHost* vantrelMakeWindowHost(
    const vantrel::platform::Services* services, std::function<void()> cancelDownloads) {
    vantrel::useWindowServices({services, std::move(cancelDownloads)});
    return new vantrel::QtWindowHost();
}
