// The erase sheet inside its window and the window's honest states, with the real widgets on
// Qt's offscreen platform: where the sheet sits, what it blocks, where the keyboard focus
// goes, that the code cannot be copied, the accessible names, and when the bar moves.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "base/Notifications.h"
#include "base/SharedData.h"
#include "platform/Queues.h"
#include "tests/support/OffscreenApplication.h"
#include "tests/support/TempMac.h"
#include "tests/support/WindowServices.h"
#include "ui/ChallengeSheet.h"
#include "ui/ProgressWindow.h"

// Fontconfig keeps a cache for the life of the process that the leak checker cannot see.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace vantrel {
namespace {

using E = ProgressElement;
using testsupport::TempMac;

void ensureApplication() {
    testsupport::ensureOffscreenApplication();
}

bool waitUntil(const std::function<bool()>& condition) {
    return testsupport::processEventsUntil(condition);
}

QString accessibleName(QWidget* widget) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
    return face ? face->text(QAccessible::Name) : QString();
}

class SheetTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        ensureApplication();
        mac = new TempMac({"--console-user", "alice"});
    }
    static void TearDownTestSuite() {
        delete mac;
        mac = nullptr;
    }
    void SetUp() override {
        mac->useInProcess();
        services.emplace(testsupport::inProcessWindowServices());
        NotificationCenter::defaultCenter().addObserver(notificationnames::wonChallenge(),
                                                        [this](const Notification&) { ++wins; });
        auto& shared = SharedData::shared();
        shared.install = true;
        shared.osWipe = true;
        shared.osInstallerAppBundlePath = "/Applications/Install macOS Catalina.app";
    }
    void TearDown() override {
        window.reset();
        QCoreApplication::sendPostedEvents();
        NotificationCenter::defaultCenter().removeAllObservers();
    }

    void showWindow() {
        window = std::make_unique<ProgressWindow>(*services);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    ChallengeSheet* presentSheet() {
        NotificationCenter::defaultCenter().post(notificationnames::willPresentChallenge());
        EXPECT_TRUE(waitUntil([&] { return window->sheet() && window->sheet()->isVisible(); }));
        return window->sheet();
    }
    QProgressBar* bar() const {
        return qobject_cast<QProgressBar*>(window->element(E::progressBar));
    }
    QString status() const { return qobject_cast<QLabel*>(window->element(E::statusText))->text(); }
    // A click where the operator sees `widget`, delivered to whatever is on top there.
    void clickOver(QWidget* widget, Qt::MouseButton button = Qt::LeftButton) {
        const QPoint at = widget->mapTo(window.get(), widget->rect().center());
        QTest::mouseClick(window->windowHandle(), button, {}, at);
    }

    static TempMac* mac;
    std::optional<WindowServices> services;
    std::unique_ptr<ProgressWindow> window;
    int wins = 0;
};

TempMac* SheetTest::mac = nullptr;

TEST_F(SheetTest, HangsFromTheTopOfItsWindowAndBlocksItUntilTheRightCode) {
    showWindow();
    ChallengeSheet* sheet = presentSheet();
    ASSERT_TRUE(sheet);
    EXPECT_EQ(sheet->window(), window.get()) << "the sheet is part of its window";
    EXPECT_FALSE(sheet->isWindow());
    EXPECT_TRUE(window->rect().contains(sheet->geometry())) << "inside the window";
    EXPECT_EQ(sheet->y(), 0) << "hanging from the top edge";
    EXPECT_NEAR(sheet->x() + sheet->width() / 2, window->width() / 2, 1);

    // Clicks on the blocked window reach none of its controls and take no focus.
    auto* quit = window->element(E::quitButtonView);
    auto* logo = window->findChild<QToolButton*>("logoButton");
    window->setHidden(E::quitButtonView, false);
    int quits = 0;
    QObject::connect(qobject_cast<QPushButton*>(quit), &QPushButton::clicked, [&] { ++quits; });
    EXPECT_EQ(QApplication::focusWidget(), sheet->digitField(1));
    clickOver(quit);
    clickOver(logo);
    clickOver(window->element(E::statusText));
    EXPECT_EQ(quits, 0);
    EXPECT_FALSE(quit->isEnabled());
    EXPECT_EQ(QApplication::focusWidget(), sheet->digitField(1));
    // Nor can the window be closed from its title bar while the sheet waits.
    EXPECT_FALSE(window->close());
    EXPECT_TRUE(window->isVisible());

    // Tab goes round the sheet's own controls: the four fields and Cancel, never out of it.
    std::vector<QWidget*> visited;
    for (int i = 0; i < 6; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited.push_back(QApplication::focusWidget());
    }
    EXPECT_EQ(visited, (std::vector<QWidget*>{sheet->digitField(2), sheet->digitField(3),
                                              sheet->digitField(4),
                                              sheet->findChild<QPushButton*>("cancelButton"),
                                              sheet->digitField(1), sheet->digitField(2)}));

    // Typed into whichever field has the focus, the right code wins and unblocks the window.
    const QString code = sheet->codeField()->text();
    QPointer<ChallengeSheet> watched = sheet;
    sheet->focusViewWithTag(1);
    for (const QChar digit : code) {
        QTest::keyClicks(QApplication::focusWidget(), QString(digit));
    }
    EXPECT_EQ(wins, 1);
    EXPECT_TRUE(waitUntil([&] { return !watched; }));
    EXPECT_TRUE(quit->isEnabled());
    clickOver(quit);
    EXPECT_EQ(quits, 1);
}

TEST_F(SheetTest, TheCodeCannotBeSelectedCopiedOrPastedIntoTheAnswer) {
    showWindow();
    ChallengeSheet* sheet = presentSheet();
    ASSERT_TRUE(sheet);
    QLabel* code = sheet->codeField();
    ASSERT_EQ(code->text().size(), 4);
    EXPECT_EQ(code->textInteractionFlags(), Qt::NoTextInteraction);
    EXPECT_EQ(code->focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(code->contextMenuPolicy(), Qt::NoContextMenu);

    QTest::mouseDClick(code, Qt::LeftButton, {}, code->rect().center());
    QTest::mousePress(code, Qt::LeftButton, {}, QPoint(1, 1));
    QTest::mouseMove(code, QPoint(code->width() - 1, code->height() - 1));
    QTest::mouseRelease(code, Qt::LeftButton, {}, QPoint(code->width() - 1, code->height() - 1));
    EXPECT_FALSE(code->hasSelectedText());
    EXPECT_EQ(code->selectedText(), "");
    QTest::keySequence(code, QKeySequence::SelectAll);
    QTest::keySequence(code, QKeySequence::Copy);
    EXPECT_FALSE(code->hasSelectedText());
    QContextMenuEvent menu(QContextMenuEvent::Mouse, code->rect().center(),
                           code->mapToGlobal(code->rect().center()));
    QApplication::sendEvent(code, &menu);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    EXPECT_EQ(QApplication::focusWidget(), sheet->digitField(1));
    EXPECT_EQ(wins, 0);
}

TEST_F(SheetTest, EveryControlHasAnAccessibleName) {
    SharedData::shared().showCancel = true;
    showWindow();
    ChallengeSheet* sheet = presentSheet();
    ASSERT_TRUE(sheet);
    EXPECT_EQ(accessibleName(window->findChild<QToolButton*>("logoButton")), "Corvane web site");
    EXPECT_EQ(accessibleName(window->element(E::quitButtonView)), "Quit");
    EXPECT_EQ(accessibleName(window->element(E::progressBar)), "Progress");
    EXPECT_EQ(accessibleName(sheet->codeField()), "Confirmation code");
    for (int tag = 1; tag <= 4; ++tag) {
        EXPECT_EQ(accessibleName(sheet->digitField(tag)), QString("Digit %1 of the code").arg(tag));
    }
    EXPECT_EQ(accessibleName(sheet->findChild<QPushButton*>("cancelButton")), "Cancel");
}

TEST_F(SheetTest, TheBarMovesOnlyWhileWorkRunsAndTheStatusSaysWhatHappens) {
    auto busy = [this] { return bar()->isVisible() && bar()->maximum() == 0; };
    // Nothing to run: no installer and no caching.
    SharedData::shared().osInstallerAppBundlePath.reset();
    showWindow();
    EXPECT_FALSE(busy());
    EXPECT_FALSE(bar()->isVisible());
    window.reset();

    // The installer starts: the bar moves until the erase must be confirmed.
    SharedData::shared().osInstallerAppBundlePath = "/Applications/Install macOS Catalina.app";
    showWindow();
    EXPECT_TRUE(busy());
    const int barTop = bar()->y();
    ChallengeSheet* sheet = presentSheet();
    ASSERT_TRUE(sheet);
    EXPECT_FALSE(busy()) << "nothing runs while the sheet waits";
    EXPECT_EQ(status(), "Waiting for the erase confirmation...");
    for (const QChar digit : sheet->codeField()->text()) {
        QTest::keyClicks(QApplication::focusWidget(), QString(digit));
    }
    ASSERT_TRUE(waitUntil([&] { return busy(); })) << "the confirmed erase runs";
    EXPECT_EQ(status(), "Preparing macOS Installer...");

    // Refused before any progress: the bar stops; the message with its line end is one line.
    window->layout()->activate();
    const int oneLine = window->element(E::statusText)->height();
    NotificationCenter::defaultCenter().post(notificationnames::taskProgress(),
                                             ProgressReport{{"Not enough space.\n", -1.0}});
    ASSERT_TRUE(waitUntil([&] { return status() == "Not enough space."; }));
    EXPECT_FALSE(busy());
    EXPECT_TRUE(bar()->isVisible());
    window->layout()->activate();
    EXPECT_EQ(window->element(E::statusText)->height(), oneLine);
    EXPECT_EQ(bar()->y(), barTop);
}

TEST(WindowShapeTest, OneSizeNoMaximiseControlAndCentredOnTheScreen) {
    ensureApplication();
    TempMac mac({"--console-user", "alice"});
    mac.useInProcess();
    const WindowServices services = testsupport::inProcessWindowServices();
    ProgressWindow window(services);
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window.windowFlags() & Qt::WindowCloseButtonHint);
    const QRect screen = window.screen()->availableGeometry();
    EXPECT_NEAR(window.geometry().center().x(), screen.center().x(), 1);
    EXPECT_NEAR(window.geometry().center().y(), screen.center().y(), 1);
}

}  // namespace
}  // namespace vantrel
