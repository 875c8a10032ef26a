// The toolkit's side of the window seam: the progress window on Qt, run with the services the
// program hands over.
#include "ui/QtWindowHost.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QMetaObject>
#include <QWidget>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

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
void useAPrivateRuntimeFolder(const std::filesystem::path& temporary) {
    if (const char* given = std::getenv("XDG_RUNTIME_DIR"); given && isPrivateFolder(given)) {
        return;
    }
    if (temporary.empty()) {
        return;
    }
    std::string folder = (temporary / "runtime").string();
    (void)::mkdir(folder.c_str(), 0700);
    if (!isPrivateFolder(folder)) {
        std::string fresh = (temporary / "runtime-XXXXXX").string();
        folder = ::mkdtemp(fresh.data()) ? fresh : "";
    }
    if (!folder.empty()) {
        ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    }
}

class QtWindowHost final : public WindowHost {
  public:
    explicit QtWindowHost(const WindowServices& services) : services_(services) {}

    void showMainWindow() override {
        choosePlatform();
        useAPrivateRuntimeFolder(services_.temporaryFolder);
        static int argc = 1;
        static char name[] = "Vantrel";
        static char* argv[] = {name, nullptr};
        application_ = std::make_unique<QApplication>(argc, argv);
        QApplication::setQuitOnLastWindowClosed(true);
        // From here on the main queue's work runs inside the toolkit's loop, in order.
        services_.handMainQueueTo([](std::function<void()> work) {
            QMetaObject::invokeMethod(qApp, std::move(work), Qt::QueuedConnection);
        });
        window_.reset(storyboard::instantiateController(services_, "mainStoryboard"));
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
            services_.serveMainQueue();
        } else {
            QApplication::exec();  // returns when the last window has closed
            willTerminate();
            services_.exitProcess(0);
        }
        std::abort();  // not reached: both end the process
    }

  private:
    // A copy: the host lives as long as the process and its windows refer to it.
    const WindowServices services_;
    std::unique_ptr<QApplication> application_;
    std::unique_ptr<QWidget> window_;
};

}  // namespace

std::unique_ptr<WindowHost> makeQtWindowHost(const WindowServices& services) {
    return std::make_unique<QtWindowHost>(services);
}

}  // namespace vantrel
