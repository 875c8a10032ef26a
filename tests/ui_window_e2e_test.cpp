// The real program with its window on simulated Macs with someone at the console: under a
// virtual X display (Xvfb), with and without a window manager (openbox), driven with xdotool as
// an operator would, and with no display at all, where the window runs offscreen.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/GermanLocale.h"
#include "tests/support/TempMac.h"
#include "tests/support/VirtualDisplay.h"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using testsupport::RunResult;
using testsupport::TempMac;
using testsupport::VirtualDisplay;

RunResult xdotool(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout) {
    return testsupport::runProgram("/usr/bin/xdotool", arguments, timeout);
}

// The visible windows whose title is exactly `title`, waiting up to 30 s for the first.
std::vector<std::string> waitForWindows(const std::string& title) {
    return xdotool({"search", "--sync", "--onlyvisible", "--name", "^" + title + "$"}, 30s)
        .outputLines();
}
std::string waitForWindow(const std::string& title) {
    const auto windows = waitForWindows(title);
    return windows.empty() ? "" : windows.front();
}

// Position and size of a window's content on the screen.
struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
};
Geometry geometryOf(const std::string& window) {
    Geometry g;
    for (const auto& line : xdotool({"getwindowgeometry", "--shell", window}, 10s).outputLines()) {
        std::sscanf(line.c_str(), "X=%d", &g.x);
        std::sscanf(line.c_str(), "Y=%d", &g.y);
        std::sscanf(line.c_str(), "WIDTH=%d", &g.width);
        std::sscanf(line.c_str(), "HEIGHT=%d", &g.height);
    }
    return g;
}

// Clicks at (x, y) of the window's content.
bool click(const std::string& window, int x, int y) {
    return xdotool({"mousemove", "--window", window, std::to_string(x), std::to_string(y), "click",
                    "1"},
                   10s)
        .exited(0);
}

// The window manager's answer to what may be done with the window.
std::string allowedActions(const std::string& window) {
    return testsupport::runProgram("/usr/bin/xprop", {"-id", window, "_NET_WM_ALLOWED_ACTIONS"},
                                   10s)
        .standardOutput;
}

// Waits up to 30 s for the program to log `message`.
bool waitForLog(const TempMac& mac, const std::string& category, const std::string& message) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!mac.logged(category, "Default", message)) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// Sets an environment variable for the test's runs and puts the old value back afterwards.
class ScopedVariable {
  public:
    ScopedVariable(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        set(value);
    }
    ~ScopedVariable() { set(old_); }

  private:
    void set(const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name_, value->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    const char* name_;
    std::optional<std::string> old_;
};

// Run with and without a window manager (true: openbox manages the display).
class WindowOnADisplayTest : public testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        ASSERT_FALSE(display_.name().empty()) << "Xvfb (or openbox) did not start";
    }

    VirtualDisplay display_{GetParam()};
    // Root started by a management agent has no runtime folder of its own.
    ScopedVariable displayVariable_{"DISPLAY", display_.name()};
    ScopedVariable runtime_{"XDG_RUNTIME_DIR", std::nullopt};
};

INSTANTIATE_TEST_SUITE_P(WindowManager, WindowOnADisplayTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "Openbox" : "None";
                         });

TEST_P(WindowOnADisplayTest, TheSheetIsInsideTheCentredWindowAndKeepsTheFocusUntilEscape) {
    TempMac mac({"--console-user", "alice", "--user-name", "root"});
    mac.addInstaller("Catalina", "19H15");
    auto run = std::async(std::launch::async, [&] {
        return mac.run({"--action", "install", "--osname", "Catalina", "--erase"}, 60s);
    });
    const std::string window = waitForWindow("Vantrel");
    ASSERT_NE(window, "");
    ASSERT_TRUE(waitForLog(mac, "main", "Waiting for the erase confirmation"));
    // The sheet is no window of its own: nothing else of the program is on screen.
    EXPECT_EQ(xdotool({"search", "--onlyvisible", "--name", "Erase"}, 10s).outputLines().size(),
              0u);
    EXPECT_EQ(waitForWindows("Vantrel").size(), 1u);

    const Geometry g = geometryOf(window);
    EXPECT_EQ(g.width, 600);
    EXPECT_EQ(g.height, 176);
    // Centred on the screen; a window manager's frame may push it down by its title bar.
    EXPECT_NEAR(g.x + g.width / 2, VirtualDisplay::kWidth / 2, 2);
    EXPECT_NEAR(g.y + g.height / 2, VirtualDisplay::kHeight / 2, 40);

    if (GetParam()) {  // a window manager may offer what the window allows, and no more
        const std::string actions = allowedActions(window);
        EXPECT_NE(actions.find("_NET_WM_ACTION_CLOSE"), std::string::npos) << actions;
        EXPECT_EQ(actions.find("MAXIMIZE"), std::string::npos) << actions;
        EXPECT_EQ(actions.find("_NET_WM_ACTION_RESIZE"), std::string::npos) << actions;
        EXPECT_TRUE(xdotool({"windowsize", window, "900", "500"}, 10s).exited(0));
        EXPECT_EQ(geometryOf(window).width, 600);
    }

    // A click on the blocked window (its quit button's place) takes nothing from the sheet:
    // Escape still reaches it and cancels.
    EXPECT_TRUE(click(window, g.width - 55, g.height - 28));
    EXPECT_TRUE(click(window, 34, g.height - 28));  // the logo's place
    // The press alone: the program ends on it, and a release sent to a window that is gone
    // would fail xdotool, not the program.
    const RunResult escape = xdotool({"keydown", "--window", window, "Escape"}, 10s);
    EXPECT_TRUE(escape.exited(0)) << escape.standardError;
    const RunResult result = run.get();
    EXPECT_TRUE(result.exited(9)) << result.standardError;
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_FALSE(mac.installation()) << "startosinstall ran although the erase was cancelled";
    EXPECT_EQ(result.standardError.find("XDG_RUNTIME_DIR"), std::string::npos)
        << result.standardError;
    EXPECT_FALSE(mac.logged("main", "Default",
                            "The web site is not opened: the console user alice is not known to "
                            "this system"))
        << "the blocked logo was clicked";
}

TEST_P(WindowOnADisplayTest, TheQuitButtonEndsTheRunAndUnmountsInstallerVolumes) {
    TempMac mac({"--console-user", "alice", "--user-name", "root"});
    mac.sim("mount", {"/Volumes/InstallESD"});
    mac.sim("mount", {"/Volumes/Backup"});
    // Another user made the runtime folder the program would take: it is not used.
    const auto planted = mac.host("/private/var/folders/0/T/runtime");
    std::filesystem::create_directories(planted);
    ASSERT_EQ(::chown(planted.c_str(), 65534, 65534), 0);
    std::filesystem::permissions(planted, std::filesystem::perms::all);
    auto run = std::async(std::launch::async, [&] {
        return mac.run({"--action", "install", "--osname", "Catalina", "--showcancel"}, 60s);
    });
    const std::string window = waitForWindow("Vantrel");
    ASSERT_NE(window, "");
    const Geometry g = geometryOf(window);
    ASSERT_GT(g.width, 100);
    // The logo first: the console user is unknown here, so nothing is opened, and said so.
    EXPECT_TRUE(click(window, 34, g.height - 28));
    // The quit button sits in the bottom right corner of the window's layout.
    EXPECT_TRUE(click(window, g.width - 55, g.height - 28));
    const RunResult result = run.get();
    EXPECT_TRUE(result.exited(0)) << result.standardError;
    EXPECT_EQ(result.standardError.find("XDG_RUNTIME_DIR"), std::string::npos)
        << result.standardError;
    EXPECT_EQ(result.standardError.find("QStandardPaths"), std::string::npos)
        << result.standardError;

    const auto volumes = testsupport::splitLines(mac.sim("volumes"));
    EXPECT_EQ(std::ranges::count(volumes, "/Volumes/InstallESD"), 0);
    EXPECT_EQ(std::ranges::count(volumes, "/Volumes/Backup"), 1);
    EXPECT_TRUE(mac.logged("main", "Debug", "Unmounting volume: file:///Volumes/InstallESD/"))
        << "the clean-up ran when the window closed";
    EXPECT_TRUE(mac.logged(
        "main", "Default",
        "The web site is not opened: the console user alice is not known to this system"));
}

TEST_P(WindowOnADisplayTest, NumbersAreLoggedWithADecimalPointUnderAGermanLocale) {
    testsupport::GermanLocale german;
    if (german.folder().empty()) {
        GTEST_SKIP() << "no German locale can be made here (localedef or its sources missing)";
    }
    ScopedVariable path("LOCPATH", german.folder().string());
    ScopedVariable all("LC_ALL", std::string(testsupport::GermanLocale::kName));
    ScopedVariable lang("LANG", std::string(testsupport::GermanLocale::kName));
    TempMac mac({"--console-user", "alice", "--user-name", "root"});
    mac.addInstaller("Catalina", "19H15");
    const RunResult result = mac.run({"--action", "install", "--osname", "Catalina"}, 60s);
    EXPECT_EQ(result.signal, SIGUSR1) << result.standardError;  // the machine "restarted"
    static const std::regex preparing(R"(Preparing: \d+\.\d{6})");
    int lines = 0;
    for (const auto& entry : mac.log()) {
        if (entry.category == "startosinstall" && entry.message.starts_with("Preparing: ")) {
            ++lines;
            EXPECT_TRUE(std::regex_match(entry.message, preparing)) << entry.message;
        }
    }
    EXPECT_GT(lines, 0);
    EXPECT_TRUE(mac.logged("startosinstall", "Debug", "Preparing: 100.000000"));
}

TEST(WindowWithoutADisplayTest, RunsOffscreenButAnEraseThatNeedsTheCodeEndsWithThree) {
    ScopedVariable display("DISPLAY", std::nullopt);
    ScopedVariable wayland("WAYLAND_DISPLAY", std::nullopt);
    TempMac mac({"--console-user", "alice", "--user-name", "root"});
    mac.addInstaller("Catalina", "19H15");
    const RunResult result = mac.run({"--action", "install", "--osname", "Catalina"}, 60s);
    EXPECT_EQ(result.signal, SIGUSR1) << result.standardError;  // the machine "restarted"
    ASSERT_TRUE(mac.installation());
    EXPECT_FALSE(mac.installation()->erase);
    // startosinstall's output is read on the main thread, which the window's loop serves.
    EXPECT_TRUE(mac.logged("startosinstall", "Debug", "Preparing: 100.000000"));

    // Nobody can see a code: the erase is neither waited for nor done. The toolkit was loaded
    // (the window came up offscreen), a status run never loads it.
    std::filesystem::remove(mac.host("/private/var/db/vantrel-sim/installation.plist"));
    RunResult erase, status;
    {
        ScopedVariable debug("LD_DEBUG", std::string("libs"));
        erase = mac.run({"--action", "install", "--osname", "Catalina", "--erase"}, 60s);
        status = mac.run({"--action", "status", "--osname", "Catalina"}, 60s);
    }
    EXPECT_TRUE(erase.exited(3)) << erase.standardError;
    EXPECT_EQ(erase.outputLines(),
              std::vector<std::string>{"The erase confirmation cannot be shown: no display"});
    EXPECT_FALSE(mac.installation()) << "startosinstall ran without the confirmation";
    EXPECT_NE(erase.standardError.find("libQt6Widgets"), std::string::npos);
    EXPECT_TRUE(status.exited(0));
    EXPECT_EQ(status.standardOutput, "true\n");
    EXPECT_EQ(status.standardError.find("libQt6"), std::string::npos);

    // An erase confirmed in advance goes on as before, also on a display that cannot be
    // reached.
    ScopedVariable unreachable("DISPLAY", std::string(":987"));
    const RunResult noverify =
        mac.run({"--action", "install", "--osname", "Catalina", "--erase", "--noverify"}, 60s);
    EXPECT_EQ(noverify.signal, SIGUSR1) << noverify.standardError;
    ASSERT_TRUE(mac.installation());
    EXPECT_TRUE(mac.installation()->erase);
}

// Root runs the window plug-in's code: one that another user owns is not loaded, and the run
// goes on without its window.
TEST(WindowWithoutADisplayTest, RootLoadsOnlyAWindowPlugInThatIsRoots) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the rule is root's";
    }
    ScopedVariable display("DISPLAY", std::nullopt);
    ScopedVariable wayland("WAYLAND_DISPLAY", std::nullopt);
    TempMac mac({"--console-user", "alice", "--user-name", "root"});
    mac.addInstaller("Catalina", "19H15");
    const auto plugIn =
        mac.host("/usr/local/vantrel/Vantrel.app/Contents/PlugIns/libvantrel-window.so");
    ASSERT_EQ(::chown(plugIn.c_str(), 65534, 65534), 0);
    RunResult result;
    {
        ScopedVariable debug("LD_DEBUG", std::string("libs"));
        result = mac.run({"--action", "install", "--osname", "Catalina"}, 60s);
    }
    EXPECT_EQ(result.signal, SIGUSR1);  // the machine "restarted"
    EXPECT_EQ(result.standardError.find("libQt6"), std::string::npos);
    EXPECT_TRUE(mac.logged("main", "Error",
                           "the plug-in libvantrel-window.so is not root's: "
                           "/usr/local/vantrel/Vantrel.app/Contents/PlugIns/libvantrel-window.so "
                           "is owned by uid 65534, not root"));
}

}  // namespace
}  // namespace vantrel
