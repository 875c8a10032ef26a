// The erase sheet on a real X display with a window manager (Xvfb and openbox), in-process on
// Qt's X11 platform: the sheet stays inside its window wherever the window manager puts or
// moves it, and the shown code never reaches the X selection that a middle click pastes.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <chrono>
#include <functional>
#include <memory>

#include "base/Notifications.h"
#include "base/SharedData.h"
#include "tests/support/TempMac.h"
#include "tests/support/TestProcess.h"
#include "tests/support/VirtualDisplay.h"
#include "tests/support/WindowServices.h"
#include "ui/ChallengeSheet.h"
#include "ui/ProgressWindow.h"

// Caches of fontconfig and the X libraries live as long as the process.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\nleak:libxcb\nleak:libX11\nleak:libdbus\nleak:libQt6XcbQpa\n"
           "leak:libQt6DBus\nleak:libglib\n";
}

namespace vantrel {
namespace {

using testsupport::TempMac;
using testsupport::VirtualDisplay;

// The display and the application live for the whole test program and end in that order
// after the last test; no application when Xvfb or openbox cannot start here.
class Desktop : public testing::Environment {
  public:
    void SetUp() override {
#if defined(__SANITIZE_THREAD__)
        // Qt's X11 plug-in and the X libraries run here in-process, none of them instrumented:
        // ThreadSanitizer would report their own threads.
        return;
#endif
        display_ = std::make_unique<VirtualDisplay>(true);
        if (display_->name().empty()) {
            return;
        }
        qputenv("DISPLAY", display_->name().c_str());
        qputenv("QT_QPA_PLATFORM", "xcb");
        static int argc = 1;
        static char name[] = "ui_desktop_test";
        static char* argv[] = {name, nullptr};
        application_ = std::make_unique<QApplication>(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        testsupport::mainQueue().setDispatcher([](std::function<void()> work) {
            QMetaObject::invokeMethod(qApp, std::move(work), Qt::QueuedConnection);
        });
    }
    void TearDown() override {
        testsupport::mainQueue().setDispatcher(nullptr);
        application_.reset();
        display_.reset();
    }
    bool ready() const {
        return application_ != nullptr;
    }

  private:
    std::unique_ptr<VirtualDisplay> display_;
    std::unique_ptr<QApplication> application_;
};

Desktop* const desktop = static_cast<Desktop*>(testing::AddGlobalTestEnvironment(new Desktop));

bool waitUntil(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    }
    return true;
}

TEST(DesktopTest, TheSheetStaysInsideItsWindowAndTheCodeNeverReachesTheSelection) {
    if (!desktop->ready()) {
        GTEST_SKIP()
            << "no desktop here (Xvfb or openbox cannot start, or a ThreadSanitizer build)";
    }
    TempMac mac({"--console-user", "alice"});
    mac.useInProcess();
    int wins = 0;
    NotificationCenter::defaultCenter().addObserver(notificationnames::wonChallenge(),
                                                    [&](const Notification&) { ++wins; });
    auto& shared = SharedData::shared();
    shared.install = true;
    shared.osWipe = true;
    shared.osInstallerAppBundlePath = "/Applications/Install macOS Catalina.app";

    const WindowServices services = testsupport::inProcessWindowServices();
    auto window = std::make_unique<ProgressWindow>(services);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    NotificationCenter::defaultCenter().post(notificationnames::willPresentChallenge());
    ASSERT_TRUE(waitUntil([&] { return window->sheet() && window->sheet()->isVisible(); }));
    ChallengeSheet* sheet = window->sheet();

    auto sheetOnScreen = [&] { return QRect(sheet->mapToGlobal(QPoint()), sheet->size()); };
    EXPECT_TRUE(window->geometry().contains(sheetOnScreen())) << "inside the window";
    EXPECT_EQ(sheetOnScreen().top(), window->geometry().top()) << "from its top edge";
    // Moved by the window manager, the window takes the sheet along.
    const QPoint before = window->geometry().topLeft();
    window->move(before + QPoint(-150, 120));
    ASSERT_TRUE(waitUntil([&] { return window->geometry().topLeft() != before; }));
    EXPECT_TRUE(window->geometry().contains(sheetOnScreen()));
    EXPECT_EQ(sheetOnScreen().top(), window->geometry().top());
    EXPECT_TRUE(window->isActiveWindow());
    EXPECT_EQ(QApplication::focusWidget(), sheet->digitField(1));

    // Selecting the code as one would any text on an X display...
    QClipboard* clipboard = QGuiApplication::clipboard();
    ASSERT_TRUE(clipboard->supportsSelection());
    clipboard->setText("no digits", QClipboard::Selection);
    QLabel* code = sheet->codeField();
    QTest::mousePress(code, Qt::LeftButton, {}, QPoint(1, code->height() / 2));
    QTest::mouseMove(code, QPoint(code->width() - 1, code->height() / 2));
    QTest::mouseRelease(code, Qt::LeftButton, {}, QPoint(code->width() - 1, code->height() / 2));
    EXPECT_NE(clipboard->text(QClipboard::Selection), code->text());
    QTest::mouseDClick(code, Qt::LeftButton, {}, code->rect().center());
    EXPECT_NE(clipboard->text(QClipboard::Selection), code->text());
    // ...and pasting it with a middle click into the last field does not answer for anyone.
    QTest::mouseClick(sheet->digitField(4), Qt::MiddleButton);
    EXPECT_EQ(wins, 0);
    EXPECT_FALSE(sheet->digitField(4)->text().contains(code->text()));

    window.reset();
    NotificationCenter::defaultCenter().removeAllObservers();
}

}  // namespace
}  // namespace vantrel
