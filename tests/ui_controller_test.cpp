// The progress window's logic against a recording view: the display table, the error rule,
// reports applied on the main thread in the order queued, the challenge hand-off and the
// quit button.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/Notifications.h"
#include "base/SharedData.h"
#include "tests/support/TempMac.h"
#include "tests/support/TestProcess.h"
#include "tests/support/WindowServices.h"
#include "ui/ViewController.h"

namespace vantrel {
namespace {

using E = ProgressElement;
using testsupport::TempMac;

class RecordingView : public ProgressView {
  public:
    void setText(E element, const std::string& text) override {
        record("text");
        texts[element] = text;
    }
    void setImage(E element, const std::string& name) override {
        record("image");
        images[element] = name;
    }
    void setHidden(E element, bool hide) override {
        record(hide ? "hide" : "show");
        hidden[element] = hide;
    }
    void setProgress(double value) override {
        record("progress");
        progress.push_back(value);
    }
    void setBusy(bool busy) override {
        record(busy ? "busy" : "still");
        this->busy = busy;
    }
    void presentSheet(const std::string& identifier) override {
        record("sheet");
        sheets.push_back(identifier);
    }
    void closeWindow() override { record("close"); }
    void openURL(const std::string& address) override {
        record("open");
        urls.push_back(address);
    }

    std::string text(E element) const {
        auto it = texts.find(element);
        return it == texts.end() ? "<unset>" : it->second;
    }
    // Hidden unless shown; the problem marker starts hidden in the layout.
    std::optional<bool> isHidden(E element) const {
        auto it = hidden.find(element);
        return it == hidden.end() ? std::nullopt : std::optional<bool>(it->second);
    }

    std::map<E, std::string> texts;
    std::map<E, std::string> images;
    std::map<E, bool> hidden;
    std::vector<double> progress;
    std::optional<bool> busy;
    std::vector<std::string> sheets;
    std::vector<std::string> urls;
    std::vector<std::string> calls;
    std::vector<std::thread::id> threads;

  private:
    void record(const std::string& call) {
        calls.push_back(call);
        threads.push_back(std::this_thread::get_id());
    }
};

class ViewControllerTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { mac = new TempMac({"--console-user", "alice"}); }
    static void TearDownTestSuite() {
        delete mac;
        mac = nullptr;
    }
    void SetUp() override {
        mac->useInProcess();
        services.emplace(testsupport::windowServicesWith(center));
    }
    void TearDown() override { testsupport::mainQueue().runQueuedWork(); }

    // A loaded controller for a run with the given settings.
    std::unique_ptr<ViewController> loaded(RecordingView& view) {
        auto controller = std::make_unique<ViewController>(view, *services);
        controller->viewDidLoad();
        controller->viewDidAppear();
        return controller;
    }

    // Posts to the centre the controller was handed.
    void post(ProgressReport report) {
        center.post(notificationnames::taskProgress(), std::move(report));
    }

    static TempMac* mac;
    NotificationCenter center;
    std::optional<WindowServices> services;
};

TempMac* ViewControllerTest::mac = nullptr;

TEST_F(ViewControllerTest, LoadShowsThePreparingTextThePictureAndDecidesTheQuitButtonLast) {
    auto& shared = SharedData::shared();
    shared.osNamed = "Mojave";
    shared.osInstallerAppBundlePath = "/Applications/Install macOS Mojave.app";
    {
        RecordingView view;
        ViewController controller(view, *services);
        controller.viewDidLoad();
        EXPECT_EQ(view.text(E::statusText), "Preparing macOS Installer...");
        EXPECT_EQ(view.images[E::productIcon], "Mojave");
        EXPECT_FALSE(view.isHidden(E::problemReporter).has_value());
        controller.viewDidAppear();
        EXPECT_EQ(view.isHidden(E::quitButtonView), true);
    }

    // No installer and no caching: the panel says so with the marker; the quit button is
    // shown at load and then follows showCancel once the window appears.
    shared.osInstallerAppBundlePath.reset();
    for (const bool showCancel : {false, true}) {
        SCOPED_TRACE(showCancel);
        shared.showCancel = showCancel;
        RecordingView view;
        ViewController controller(view, *services);
        controller.viewDidLoad();
        EXPECT_EQ(view.text(E::statusText), "Could not find a macOS Installer");
        EXPECT_EQ(view.isHidden(E::problemReporter), false);
        EXPECT_EQ(view.isHidden(E::quitButtonView), false);
        controller.viewDidAppear();
        EXPECT_EQ(view.isHidden(E::quitButtonView), !showCancel);
    }

    // Caching was asked for: the installer is still to come.
    shared.cache = true;
    RecordingView view;
    ViewController controller(view, *services);
    controller.viewDidLoad();
    EXPECT_EQ(view.text(E::statusText), "Preparing macOS Installer...");
    EXPECT_FALSE(view.isHidden(E::problemReporter).has_value());
}

struct DisplayCase {
    std::string name;
    bool install, cache, finishedCaching, osWipe;
    std::string key;
    double value;
    std::string step, status;
    std::optional<bool> barHidden, quitHidden, markerHidden;
    std::optional<double> bar;  // the value the bar was set to, if it was
};

TEST_F(ViewControllerTest, EachReportChangesTheWindowByTheTable) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<DisplayCase> cases = {
        {"download", true, true, false, false, "Download", 18.75, "Step 1 of 3",
         "Downloading macOS Installer...", false, true, std::nullopt, 18.75},
        {"assembly", true, true, false, false, "Installer", 40, "Step 2 of 3",
         "Moving macOS Installer into place...", false, true, std::nullopt, 40},
        {"assembly failed", true, true, false, false, "InstallerFailed", -1.0, "",
         "Error moving macOS Installer into place", true, true, std::nullopt, std::nullopt},
        {"erase after downloading", true, true, false, true, "startosinstall", 12, "Step 3 of 3",
         "Preparing to Erase All Content And Settings...", false, false, std::nullopt, 12},
        {"erase of a cached installer", true, true, true, true, "startosinstall", 12, "",
         "Preparing to Erase All Content And Settings...", false, false, std::nullopt, 12},
        {"upgrade, install only", true, false, false, false, "startosinstall", 12, "",
         "Preparing macOS Installer...", false, true, std::nullopt, 12},
        {"tool error", true, false, false, false, "The volume cannot be used.\n", -1.0, "",
         "The volume cannot be used.\n", std::nullopt, false, false, std::nullopt},
        {"download error", true, true, false, false, "Download", -1.0, "", "Download", std::nullopt,
         false, false, std::nullopt},
        {"startosinstall error", true, false, false, true, "startosinstall", -1.0, "",
         "startosinstall", std::nullopt, false, false, std::nullopt},
        {"unknown key", true, false, false, false, "Unpacking", 55, "<unset>",
         "Preparing macOS Installer...", false, true, std::nullopt, 55},
        {"not a number is no error", true, true, false, false, "Download", nan, "Step 1 of 3",
         "Downloading macOS Installer...", false, true, std::nullopt, nan},
        {"keys are exact", true, true, false, false, "download", 30, "<unset>",
         "Preparing macOS Installer...", false, true, std::nullopt, 30},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        mac->useInProcess();
        auto& shared = SharedData::shared();
        shared.install = c.install;
        shared.cache = c.cache;
        shared.finishedCaching = c.finishedCaching;
        shared.osWipe = c.osWipe;
        shared.showCancel = false;
        shared.osInstallerAppBundlePath = "/Applications/Install macOS Catalina.app";
        RecordingView view;
        auto controller = loaded(view);
        view.calls.clear();
        post({{c.key, c.value}});
        EXPECT_TRUE(view.calls.empty()) << "applied before the main queue ran";
        testsupport::mainQueue().runQueuedWork();
        EXPECT_EQ(view.text(E::stepOfStep), c.step);
        EXPECT_EQ(view.text(E::statusText), c.status);
        EXPECT_EQ(view.isHidden(E::progressBar), c.barHidden);
        EXPECT_EQ(view.isHidden(E::quitButtonView), c.quitHidden);
        EXPECT_EQ(view.isHidden(E::problemReporter), c.markerHidden);
        if (!c.bar) {
            EXPECT_TRUE(view.progress.empty());
        } else if (std::isnan(*c.bar)) {
            ASSERT_EQ(view.progress.size(), 1u);
            EXPECT_TRUE(std::isnan(view.progress[0]));
        } else {
            EXPECT_EQ(view.progress, std::vector<double>{*c.bar});
        }
    }
}

TEST_F(ViewControllerTest, AReportWithNoValueOrElsewhereOrForAControllerThatIsGoneChangesNothing) {
    RecordingView view;
    auto controller = loaded(view);
    view.calls.clear();
    post({{"Installer", std::nullopt}});
    post({{"Download", 10.0}, {"Installer", std::nullopt}});  // ignored whole
    center.post(notificationnames::taskProgress());
    post({});
    // The controller hears only the centre it was handed, not the process's.
    NotificationCenter::defaultCenter().post(notificationnames::taskProgress(),
                                             ProgressReport{{"Download", 10.0}});
    NotificationCenter::defaultCenter().post(notificationnames::willPresentChallenge());
    testsupport::mainQueue().runQueuedWork();
    EXPECT_TRUE(view.calls.empty());

    post({{"Download", 10.0}, {"Installer", 20.0}});  // every entry, in the map's order
    testsupport::mainQueue().runQueuedWork();
    EXPECT_EQ(view.progress, (std::vector<double>{10.0, 20.0}));
    EXPECT_EQ(view.text(E::stepOfStep), "Step 2 of 3");

    // Work queued for a controller that is gone is dropped.
    view.calls.clear();
    post({{"Download", 5.0}});
    center.post(notificationnames::willPresentChallenge());
    controller.reset();
    post({{"Download", 6.0}});
    testsupport::mainQueue().runQueuedWork();
    EXPECT_TRUE(view.calls.empty());
}

TEST_F(ViewControllerTest, ReportsFromOtherThreadsAreAppliedOnTheMainThreadInOrder) {
    RecordingView view;
    auto controller = loaded(view);
    view.calls.clear();
    view.threads.clear();
    constexpr int kReports = 300;
    std::thread poster([this] {
        for (int i = 0; i < kReports; ++i) {
            post({{"Download", static_cast<double>(i)}});
        }
        center.post(notificationnames::willPresentChallenge());
    });
    poster.join();
    EXPECT_TRUE(view.calls.empty());
    testsupport::mainQueue().runQueuedWork();

    ASSERT_EQ(view.progress.size(), static_cast<std::size_t>(kReports));
    for (int i = 0; i < kReports; ++i) {
        ASSERT_EQ(view.progress[static_cast<std::size_t>(i)], i);
    }
    EXPECT_EQ(view.sheets, std::vector<std::string>{"verifyVCSheet"});
    EXPECT_EQ(view.calls.back(), "sheet");  // after every report queued before it
    for (const auto& id : view.threads) {
        ASSERT_EQ(id, std::this_thread::get_id());
    }
}

TEST_F(ViewControllerTest, QuitCancelsTheDownloadsThenClosesAndTheLogoOpensTheSite) {
    RecordingView view;
    WindowServices quitting = *services;
    quitting.cancelAllDownloads = [&] { view.calls.push_back("cancel"); };
    ViewController controller(view, quitting);
    controller.viewDidLoad();
    view.calls.clear();
    controller.quitButton();
    EXPECT_EQ(view.calls, (std::vector<std::string>{"cancel", "close"}));

    controller.corvaneGo();
    EXPECT_EQ(view.urls, std::vector<std::string>{ViewController::kVendorSite});
}

}  // namespace
}  // namespace vantrel
