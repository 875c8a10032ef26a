// The real program with its window on simulated Macs with someone at the console: under a
// virtual X display (Xvfb), driven with xdotool as an operator would, and with no display at
// all, where the window runs offscreen. Runs without a window never load the toolkit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TempMac.h"

extern char** environ;

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using testsupport::RunResult;
using testsupport::TempMac;

// An X server of our own for the test (Xvfb on a free display), DISPLAY pointing at it.
class VirtualDisplay {
  public:
    VirtualDisplay() {
        int fds[2];
        if (::pipe(fds) != 0) {
            return;
        }
        ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
        const std::string fd = std::to_string(fds[1]);
        std::vector<std::string> args = {"Xvfb", "-displayfd",  fd,          "-screen",
                                         "0",    "1024x768x24", "-nolisten", "tcp"};
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (::posix_spawnp(&pid_, "Xvfb", nullptr, nullptr, argv.data(), environ) != 0) {
            pid_ = 0;
        }
        ::close(fds[1]);
        std::string number;
        pollfd ready{fds[0], POLLIN, 0};
        char c = 0;
        while (pid_ && ::poll(&ready, 1, 10000) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n') {
            number += c;
        }
        ::close(fds[0]);
        if (!number.empty()) {
            display_ = ":" + number;
        }
    }
    ~VirtualDisplay() {
        if (pid_) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    const std::string& name() const { return display_; }

  private:
    pid_t pid_ = 0;
    std::string display_;
};

RunResult xdotool(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout) {
    return testsupport::runProgram("/usr/bin/xdotool", arguments, timeout);
}

// Waits for a visible window whose title is exactly `title`; its id, or empty.
std::string waitForWindow(const std::string& title) {
    const auto run =
        xdotool({"search", "--sync", "--onlyvisible", "--name", "^" + title + "$"}, 30s);
    const auto lines = run.outputLines();
    return run.exited(0) && !lines.empty() ? lines.front() : "";
}

bool hasLine(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class WindowOnADisplayTest : public testing::Test {
  protected:
    void SetUp() override {
        const char* old = std::getenv("DISPLAY");
        oldDisplay_ = old ? std::optional<std::string>(old) : std::nullopt;
        ASSERT_FALSE(display_.name().empty()) << "Xvfb did not start";
        ::setenv("DISPLAY", display_.name().c_str(), 1);  // before any thread starts a program
    }
    void TearDown() override {
        if (oldDisplay_) {
            ::setenv("DISPLAY", oldDisplay_->c_str(), 1);
        } else {
            ::unsetenv("DISPLAY");
        }
    }

    VirtualDisplay display_;
    std::optional<std::string> oldDisplay_;
};

TEST_F(WindowOnADisplayTest, AnEraseShowsTheSheetOverTheWindowAndEscapeEndsWithNine) {
    TempMac mac({"--console-user", "alice", "--user-name", "root"});
    mac.addInstaller("Catalina", "19H15");
    auto run = std::async(std::launch::async, [&] {
        return mac.run({"--action", "install", "--osname", "Catalina", "--erase"}, 60s);
    });
    EXPECT_NE(waitForWindow("Erase All Content And Settings"), "");
    EXPECT_NE(waitForWindow("Vantrel"), "");
    EXPECT_TRUE(xdotool({"key", "Escape"}, 10s).exited(0));
    const RunResult result = run.get();
    EXPECT_TRUE(result.exited(9)) << result.standardError;
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_FALSE(mac.installation()) << "startosinstall ran although the erase was cancelled";
}

TEST_F(WindowOnADisplayTest, TheQuitButtonEndsTheRunAndUnmountsInstallerVolumes) {
    TempMac mac({"--console-user", "alice", "--user-name", "root"});
    mac.sim("mount", {"/Volumes/InstallESD"});
    mac.sim("mount", {"/Volumes/Backup"});
    auto run = std::async(std::launch::async, [&] {
        return mac.run({"--action", "install", "--osname", "Catalina", "--showcancel"}, 60s);
    });
    const std::string window = waitForWindow("Vantrel");
    ASSERT_NE(window, "");
    // The quit button sits in the bottom right corner of the window's layout.
    const auto geometry = xdotool({"getwindowgeometry", "--shell", window}, 10s).outputLines();
    int x = 0, y = 0, width = 0, height = 0;
    for (const auto& line : geometry) {
        std::sscanf(line.c_str(), "X=%d", &x);
        std::sscanf(line.c_str(), "Y=%d", &y);
        std::sscanf(line.c_str(), "WIDTH=%d", &width);
        std::sscanf(line.c_str(), "HEIGHT=%d", &height);
    }
    ASSERT_GT(width, 100);
    EXPECT_TRUE(xdotool({"mousemove", std::to_string(x + width - 55),
                         std::to_string(y + height - 28), "click", "1"},
                        10s)
                    .exited(0));
    const RunResult result = run.get();
    EXPECT_TRUE(result.exited(0)) << result.standardError;

    std::vector<std::string> volumes;
    std::istringstream listing(mac.sim("volumes"));
    for (std::string line; std::getline(listing, line);) {
        volumes.push_back(line);
    }
    EXPECT_FALSE(hasLine(volumes, "/Volumes/InstallESD"));
    EXPECT_TRUE(hasLine(volumes, "/Volumes/Backup"));
    EXPECT_TRUE(mac.logged("main", "Debug", "Unmounting volume: file:///Volumes/InstallESD/"))
        << "the clean-up ran when the window closed";
}

TEST(WindowWithoutADisplayTest, RunsOffscreenAndTheMainQueueRunsInItsLoop) {
    const char* old = std::getenv("DISPLAY");
    const std::optional<std::string> oldDisplay =
        old ? std::optional<std::string>(old) : std::nullopt;
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    TempMac mac({"--console-user", "alice", "--user-name", "root"});
    mac.addInstaller("Catalina", "19H15");
    const RunResult result = mac.run({"--action", "install", "--osname", "Catalina"}, 60s);
    EXPECT_EQ(result.signal, SIGUSR1) << result.standardError;  // the machine "restarted"
    ASSERT_TRUE(mac.installation());
    EXPECT_FALSE(mac.installation()->erase);
    // startosinstall's output is read on the main thread, which the window's loop serves.
    EXPECT_TRUE(mac.logged("startosinstall", "Debug", "Preparing: 100.000000"));

    // A display that cannot be reached is no reason to stop either.
    ::setenv("DISPLAY", ":987", 1);
    const RunResult unreachable = mac.run({"--action", "install", "--osname", "Catalina"}, 60s);
    ::unsetenv("DISPLAY");
    EXPECT_EQ(unreachable.signal, SIGUSR1) << unreachable.standardError;

    // A run without a window never loads the toolkit; one with a window does.
    ::setenv("LD_DEBUG", "libs", 1);
    const RunResult status = mac.run({"--action", "status", "--osname", "Catalina"}, 60s);
    const RunResult window = mac.run({"--action", "install", "--osname", "Mojave"}, 10s);
    ::unsetenv("LD_DEBUG");
    EXPECT_TRUE(status.exited(0));
    EXPECT_EQ(status.standardOutput, "true\n");
    EXPECT_EQ(status.standardError.find("libQt6"), std::string::npos);
    EXPECT_TRUE(window.timedOut);  // the window waits to be closed
    EXPECT_NE(window.standardError.find("libQt6Widgets"), std::string::npos);
    if (oldDisplay) {
        ::setenv("DISPLAY", oldDisplay->c_str(), 1);
    }
}

}  // namespace
}  // namespace vantrel
