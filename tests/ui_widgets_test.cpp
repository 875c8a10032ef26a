// The real widgets of the progress window and the erase confirmation, on Qt's offscreen
// platform: reports as the window shows them, the picture, the quit button, the window's shape
// and honest states, the sheet inside its window (what it blocks, where the focus goes, that
// the code cannot be copied, the accessible names), the challenge typed as an operator would,
// the shake, and cancel ending the program with 9.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <thread>

#include "base/Notifications.h"
#include "base/SharedData.h"
#include "caching/SessionRequestManager.h"
#include "tests/support/OffscreenApplication.h"
#include "tests/support/TempMac.h"
#include "tests/support/WindowServices.h"
#include "ui/ChallengeSheet.h"
#include "ui/ProgressWindow.h"
#include "ui/Storyboard.h"
#include "ui/WindowShaker.h"

// Fontconfig keeps a cache for the life of the process that the leak checker cannot see.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace vantrel {
namespace {

using E = ProgressElement;
using testsupport::TempMac;

using testsupport::ensureOffscreenApplication;
constexpr auto& waitUntil = testsupport::processEventsUntil;

QString accessibleName(QWidget* widget) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
    return face ? face->text(QAccessible::Name) : QString();
}

void postReport(ProgressReport report) {
    NotificationCenter::defaultCenter().post(notificationnames::taskProgress(), std::move(report));
}

class WindowTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        ensureOffscreenApplication();
        mac = new TempMac({"--console-user", "alice"});
    }
    static void TearDownTestSuite() {
        delete mac;
        mac = nullptr;
    }
    void SetUp() override {
        QCoreApplication::sendPostedEvents();  // nothing of an earlier test may still run
        mac->useInProcess();
        services.emplace(testsupport::inProcessWindowServices());
        NotificationCenter::defaultCenter().addObserver(notificationnames::wonChallenge(),
                                                        [this](const Notification&) { ++wins; });
        auto& shared = SharedData::shared();
        shared.install = true;
        shared.osInstallerAppBundlePath = "/Applications/Install macOS Catalina.app";
    }
    void TearDown() override {
        window.reset();
        QCoreApplication::sendPostedEvents();
        NotificationCenter::defaultCenter().removeAllObservers();
    }

    ProgressWindow& showWindow() {
        window = std::make_unique<ProgressWindow>(*services);
        window->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        return *window;
    }
    QString text(E element) const {
        return qobject_cast<QLabel*>(window->element(element))->text();
    }
    bool shown(E element) const { return !window->element(element)->isHidden(); }
    QProgressBar* bar() const {
        return qobject_cast<QProgressBar*>(window->element(E::progressBar));
    }

    // Presents the sheet on the shown window as the program does, through
    // "willPresentChallenge".
    ChallengeSheet* presentSheet() {
        NotificationCenter::defaultCenter().post(notificationnames::willPresentChallenge());
        EXPECT_TRUE(waitUntil([&] { return window->sheet() && window->sheet()->isVisible(); }));
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
        return window->sheet();
    }
    // A click where the operator sees `widget`, delivered to whatever is on top there.
    void clickOver(QWidget* widget, Qt::MouseButton button = Qt::LeftButton) {
        const QPoint at = widget->mapTo(window.get(), widget->rect().center());
        QTest::mouseClick(window->windowHandle(), button, {}, at);
    }
    static void expectFieldsEmpty(ChallengeSheet* sheet) {
        for (int tag = 1; tag <= 4; ++tag) {
            EXPECT_EQ(sheet->digitField(tag)->text(), "") << tag;
        }
    }
    static void typeKey(QChar key) { QTest::keyClicks(QApplication::focusWidget(), QString(key)); }

    static TempMac* mac;
    std::optional<WindowServices> services;
    std::unique_ptr<ProgressWindow> window;
    int wins = 0;
};

TempMac* WindowTest::mac = nullptr;

// The table of reports, and their order from other threads, are the controller's test
// (ui_controller_test.cpp); here the reports reach the real widgets from another thread and the
// widgets show what the table hands them as well as they can.
TEST_F(WindowTest, ReportsFromAnyThreadReachTheWidgetsWhichShowWhatTheyCan) {
    auto& shared = SharedData::shared();
    shared.cache = true;
    showWindow();
    EXPECT_EQ(text(E::statusText), "Preparing macOS Installer...");
    EXPECT_FALSE(qobject_cast<QLabel*>(window->element(E::productIcon))->pixmap().isNull());
    EXPECT_FALSE(shown(E::problemReporter));
    EXPECT_FALSE(shown(E::quitButtonView));  // no --showcancel

    std::thread([] {
        for (int i = 1; i <= 50; ++i) {
            postReport({{"Download", i * 0.375}});
        }
    }).join();
    ASSERT_TRUE(waitUntil([&] { return bar()->value() == 1875; }));
    EXPECT_EQ(text(E::stepOfStep), "Step 1 of 3");
    EXPECT_EQ(text(E::statusText), "Downloading macOS Installer...");
    EXPECT_EQ(bar()->maximum(), 10000);  // determinate, in hundredths of a percent

    // The bar shows what it can: not-a-number leaves it, values beyond the scale stop at it.
    postReport({{"Installer", std::numeric_limits<double>::quiet_NaN()}});
    ASSERT_TRUE(waitUntil([&] { return text(E::stepOfStep) == "Step 2 of 3"; }));
    EXPECT_EQ(bar()->value(), 1875);
    EXPECT_FALSE(shown(E::problemReporter));
    postReport({{"Installer", 140.0}});
    ASSERT_TRUE(waitUntil([&] { return bar()->value() == 10000; }));
    postReport({{"Installer", -3.0}});
    ASSERT_TRUE(waitUntil([&] { return bar()->value() == 0; }));

    postReport({{"The target disk is too small.\n", -1.0}});
    ASSERT_TRUE(waitUntil([&] { return shown(E::problemReporter); }));
    // The line end of the message lays out as nothing: one line, the bar where it was.
    EXPECT_EQ(text(E::statusText), "The target disk is too small.");
    EXPECT_TRUE(shown(E::quitButtonView));
    EXPECT_EQ(bar()->value(), 0);  // keeps its last state
}

TEST_F(WindowTest, OneSizeNoMaximiseControlAndCentredOnTheScreen) {
    const ProgressWindow shape(*services);
    EXPECT_EQ(shape.minimumSize(), shape.maximumSize());
    EXPECT_FALSE(shape.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(shape.windowFlags() & Qt::WindowCloseButtonHint);
    const QRect screen = shape.screen()->availableGeometry();
    EXPECT_NEAR(shape.geometry().center().x(), screen.center().x(), 1);
    EXPECT_NEAR(shape.geometry().center().y(), screen.center().y(), 1);
}

TEST_F(WindowTest, NoInstallerShowsTheProblemAndAnUnknownPictureLeavesTheIconEmpty) {
    auto& shared = SharedData::shared();
    shared.osInstallerAppBundlePath.reset();
    shared.osNamed = "Yosemite";
    showWindow();
    EXPECT_EQ(text(E::statusText), "Could not find a macOS Installer");
    EXPECT_TRUE(shown(E::problemReporter));
    EXPECT_FALSE(shown(E::quitButtonView));  // appearance decides, after load
    EXPECT_TRUE(qobject_cast<QLabel*>(window->element(E::productIcon))->pixmap().isNull());
}

TEST_F(WindowTest, TheQuitButtonCancelsDownloadsAndClosesTheWindow) {
    // The window of the layout resource, with the process's services, cancels through the
    // download session the services name.
    SharedData::shared().showCancel = true;
    int sessionCancels = 0;
    const WindowServices processServices =
        testsupport::inProcessWindowServices([&] { ++sessionCancels; });
    std::unique_ptr<QWidget> real(
        storyboard::instantiateController(processServices, "mainStoryboard"));
    ASSERT_TRUE(qobject_cast<ProgressWindow*>(real.get()));
    real->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(real.get()));
    auto* quit = real->findChild<QPushButton*>("quitButtonView");
    ASSERT_TRUE(quit->isVisible());
    QTest::mouseClick(quit, Qt::LeftButton);
    EXPECT_FALSE(real->isVisible());
    EXPECT_EQ(sessionCancels, 1);
    EXPECT_EQ(storyboard::instantiateController(processServices, "no such controller"), nullptr);
}

TEST_F(WindowTest, AWrongCodeShakesTheSheetBackToWhereItWasAndEmptiesTheFields) {
    showWindow();
    auto* sheet = presentSheet();
    ASSERT_TRUE(sheet);
    const QString code = sheet->codeField()->text();
    const QPoint start = sheet->pos();
    const int width = sheet->frameGeometry().width();

    int leftMost = start.x(), rightMost = start.x();
    bool leftRow = false;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        leftMost = std::min(leftMost, sheet->pos().x());
        rightMost = std::max(rightMost, sheet->pos().x());
        leftRow = leftRow || sheet->pos().y() != start.y();
    });
    sampler.start(2);
    for (int i = 0; i < 4; ++i) {
        typeKey(i == 3 ? QChar(u'0' + (code[3].digitValue() + 1) % 10) : code[i]);
    }
    EXPECT_EQ(wins, 0);
    EXPECT_TRUE(sheet->shaker().isShaking());
    expectFieldsEmpty(sheet);
    EXPECT_EQ(QApplication::focusWidget(), sheet->digitField(1));
    EXPECT_EQ(sheet->codeField()->text(), code);
    EXPECT_EQ(sheet->controller().userPIN(), "");

    ASSERT_TRUE(waitUntil([&] { return !sheet->shaker().isShaking(); }));
    sampler.stop();
    EXPECT_EQ(sheet->pos(), start);
    const int swing = static_cast<int>(std::ceil(width * 0.02));
    EXPECT_LT(leftMost, start.x());
    EXPECT_GE(leftMost, start.x() - swing);
    EXPECT_GT(rightMost, start.x());
    EXPECT_LE(rightMost, start.x() + swing);
    EXPECT_FALSE(leftRow);

    // A second shake while one runs still brings the sheet back to where it stood.
    sheet->shake();
    ASSERT_TRUE(waitUntil([&] { return sheet->pos() != start; }));
    sheet->shake();
    ASSERT_TRUE(waitUntil([&] { return !sheet->shaker().isShaking(); }));
    EXPECT_EQ(sheet->pos(), start);
}

TEST_F(WindowTest, ALetterStaysAndShakesAndBackspaceEmptiesAllFieldsUnseen) {
    showWindow();
    auto* sheet = presentSheet();
    ASSERT_TRUE(sheet);
    const QString code = sheet->codeField()->text();
    typeKey(code[0]);
    typeKey(u'x');
    EXPECT_EQ(sheet->digitField(2)->text(), "x");
    EXPECT_EQ(QApplication::focusWidget(), sheet->digitField(2));
    EXPECT_EQ(sheet->controller().userPIN(), code.left(1).toStdString());
    EXPECT_TRUE(sheet->shaker().isShaking());

    // Watches what reaches the field itself: a swallowed key never does.
    int backspacesSeen = 0;
    struct Spy : QObject {
        std::function<void()> onBackspace;
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::KeyPress &&
                static_cast<QKeyEvent*>(event)->key() == Qt::Key_Backspace) {
                onBackspace();
            }
            return false;
        }
    } spy;
    spy.onBackspace = [&] { ++backspacesSeen; };
    sheet->digitField(2)->installEventFilter(&spy);
    QTest::keyClick(sheet->digitField(2), Qt::Key_Backspace);
    EXPECT_EQ(backspacesSeen, 0);
    expectFieldsEmpty(sheet);
    EXPECT_EQ(sheet->controller().userPIN(), "");
    EXPECT_EQ(QApplication::focusWidget(), sheet->digitField(1));
    sheet->digitField(2)->removeEventFilter(&spy);

    for (int i = 0; i < 4; ++i) {  // and the answer starts afresh
        typeKey(code[i]);
    }
    EXPECT_EQ(wins, 1);
}

TEST_F(WindowTest, TwoDigitsPastedIntoOneFieldBothCount) {
    showWindow();
    auto* sheet = presentSheet();
    ASSERT_TRUE(sheet);
    const QString code = sheet->codeField()->text();
    QGuiApplication::clipboard()->setText(code.left(2));
    QTest::keySequence(sheet->digitField(1), QKeySequence::Paste);
    EXPECT_EQ(sheet->digitField(1)->text(), code.left(2));
    EXPECT_EQ(sheet->controller().userPIN(), code.left(2).toStdString());
    EXPECT_EQ(QApplication::focusWidget(), sheet->digitField(2));
    typeKey(code[2]);
    typeKey(code[3]);
    EXPECT_EQ(wins, 0) << "no comparison before the fourth field";
    typeKey(code[3]);  // the fourth field: five digits in all, which never match
    EXPECT_EQ(wins, 0);
    EXPECT_TRUE(sheet->shaker().isShaking());
    EXPECT_EQ(sheet->digitField(1)->text(), "");
}

// The code is read, never copied: it cannot be selected, copied or pasted into the answer.
TEST_F(WindowTest, HangsFromTheTopOfItsWindowAndBlocksItUntilTheRightCode) {
    SharedData::shared().osWipe = true;
    SharedData::shared().showCancel = true;
    showWindow();
    ChallengeSheet* sheet = presentSheet();
    ASSERT_TRUE(sheet);
    EXPECT_EQ(sheet->window(), window.get()) << "the sheet is part of its window";
    EXPECT_FALSE(sheet->isWindow());
    EXPECT_TRUE(window->rect().contains(sheet->geometry())) << "inside the window";
    EXPECT_EQ(sheet->y(), 0) << "hanging from the top edge";
    EXPECT_NEAR(sheet->x() + sheet->width() / 2, window->width() / 2, 1);
    EXPECT_EQ(accessibleName(window->findChild<QToolButton*>("logoButton")), "Corvane web site");
    EXPECT_EQ(accessibleName(window->element(E::quitButtonView)), "Quit");
    EXPECT_EQ(accessibleName(window->element(E::progressBar)), "Progress");
    EXPECT_EQ(accessibleName(sheet->codeField()), "Confirmation code");
    for (int tag = 1; tag <= 4; ++tag) {
        EXPECT_EQ(accessibleName(sheet->digitField(tag)), QString("Digit %1 of the code").arg(tag));
    }
    EXPECT_EQ(accessibleName(sheet->findChild<QPushButton*>("cancelButton")), "Cancel");

    QLabel* codeLabel = sheet->codeField();
    ASSERT_EQ(codeLabel->text().size(), 4);
    EXPECT_EQ(codeLabel->textInteractionFlags(), Qt::NoTextInteraction);
    EXPECT_EQ(codeLabel->focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(codeLabel->contextMenuPolicy(), Qt::NoContextMenu);
    QTest::mouseDClick(codeLabel, Qt::LeftButton, {}, codeLabel->rect().center());
    const QPoint corner(codeLabel->width() - 1, codeLabel->height() - 1);
    QTest::mousePress(codeLabel, Qt::LeftButton, {}, QPoint(1, 1));
    QTest::mouseMove(codeLabel, corner);
    QTest::mouseRelease(codeLabel, Qt::LeftButton, {}, corner);
    EXPECT_FALSE(codeLabel->hasSelectedText());
    EXPECT_EQ(codeLabel->selectedText(), "");
    QTest::keySequence(codeLabel, QKeySequence::SelectAll);
    QTest::keySequence(codeLabel, QKeySequence::Copy);
    EXPECT_FALSE(codeLabel->hasSelectedText());
    QContextMenuEvent menu(QContextMenuEvent::Mouse, codeLabel->rect().center(),
                           codeLabel->mapToGlobal(codeLabel->rect().center()));
    QApplication::sendEvent(codeLabel, &menu);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    EXPECT_EQ(wins, 0);

    // Clicks on the blocked window reach none of its controls and take no focus.
    auto* quit = window->element(E::quitButtonView);
    auto* logo = window->findChild<QToolButton*>("logoButton");
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

TEST_F(WindowTest, TheBarMovesOnlyWhileWorkRunsAndTheStatusSaysWhatHappens) {
    SharedData::shared().osWipe = true;
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
    EXPECT_EQ(text(E::statusText), "Waiting for the erase confirmation...");
    for (const QChar digit : sheet->codeField()->text()) {
        QTest::keyClicks(QApplication::focusWidget(), QString(digit));
    }
    ASSERT_TRUE(waitUntil([&] { return busy(); })) << "the confirmed erase runs";
    EXPECT_EQ(text(E::statusText), "Preparing macOS Installer...");

    // Refused before any progress: the bar stops; the message with its line end is one line.
    window->layout()->activate();
    const int oneLine = window->element(E::statusText)->height();
    NotificationCenter::defaultCenter().post(notificationnames::taskProgress(),
                                             ProgressReport{{"Not enough space.\n", -1.0}});
    ASSERT_TRUE(waitUntil([&] { return text(E::statusText) == "Not enough space."; }));
    EXPECT_FALSE(busy());
    EXPECT_TRUE(bar()->isVisible());
    window->layout()->activate();
    EXPECT_EQ(window->element(E::statusText)->height(), oneLine);
    EXPECT_EQ(bar()->y(), barTop);
}

// Cancel ends the program at once with 9; were "wonChallenge" posted, it would end with 3.
void cancelInAChild(const std::function<void(ChallengeSheet&)>& cancel) {
    ensureOffscreenApplication();
    TempMac mac({"--console-user", "alice"});
    mac.useInProcess();
    NotificationCenter::defaultCenter().addObserver(
        notificationnames::wonChallenge(),
        [](const Notification&) { testsupport::console().exitProcess(3); });
    const WindowServices services = testsupport::inProcessWindowServices();
    ProgressWindow window(services);
    window.show();
    ChallengeSheet sheet(services, &window, [] { return std::uint64_t{11234}; });
    sheet.show();
    (void)QTest::qWaitForWindowActive(&window);
    QTest::keyClicks(sheet.digitField(1), "1");
    cancel(sheet);
    testsupport::console().exitProcess(0);
}

TEST(ChallengeCancelTest, TheCancelButtonAndEscapeEndTheProgramWithStatusNine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(cancelInAChild([](ChallengeSheet& sheet) {
                    QTest::mouseClick(sheet.findChild<QPushButton*>("cancelButton"),
                                      Qt::LeftButton);
                }),
                testing::ExitedWithCode(9), "");
    EXPECT_EXIT(cancelInAChild([](ChallengeSheet& sheet) {
                    QTest::keyClick(sheet.digitField(2), Qt::Key_Escape);
                }),
                testing::ExitedWithCode(9), "");
}

}  // namespace
}  // namespace vantrel
