#pragma once

// A simulated Mac served by the stand-in update server, and the real program run in the
// background, for tests that act on it while it runs (kill it, signal it, start a second run),
// and a private mount namespace with a small disk for such a program:
//
//   Background run(mac, {"--action", "cache", "--osname", "Catalina"});
//   ASSERT_TRUE(waitUntil([&] { return somethingHappened(); }, 60s));
//   run.signalProgram(SIGTERM);
//   EXPECT_EQ(run.waitForExit(60s), 143) << run.output();

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/mirror_fixture.h"
#include "tests/support/TempMac.h"

namespace vantrel::backgroundtest {

using namespace std::chrono_literals;
using mirrortest::TempFolder;

// A mirror, its server and a Mac that trusts it.
struct ServedMac {
    mirrortest::MirrorFolder mirror;
    mirrortest::ServeProcess server;
    testsupport::TempMac mac;

    ServedMac(const std::vector<std::string>& mirrorOptions,
              const std::vector<std::string>& serveOptions = {})
        : mirror(mirrorOptions),
          server(mirror.path(), serveOptions),
          mac({"--catalog-server", server.url(), "--trust-cert", server.certificate().string()}) {}

    testsupport::RunResult cache() const {
        return mac.run({"--action", "cache", "--osname", "Catalina"});
    }
};

// Exit status of a Background child whose preparation failed.
inline constexpr int kPreparationFailed = 99;

// The program started in the background in a process group of its own, its output in a file;
// the group is killed when the object goes away. `prepare`, when given, runs in the child
// before the program starts (system calls only); when it returns false the child ends with
// kPreparationFailed.
class Background {
  public:
    Background(const testsupport::TempMac& mac, const std::vector<std::string>& arguments,
               const std::function<bool()>& prepare = {}) {
        const std::string out = (folder_.path() / "out").string();
        std::vector<std::string> argv{mac.program().string()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
            const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(fd, STDOUT_FILENO);
            ::dup2(fd, STDERR_FILENO);
            const int null = ::open("/dev/null", O_RDONLY);
            ::dup2(null, STDIN_FILENO);
            if (prepare && !prepare()) {
                ::_exit(kPreparationFailed);
            }
            std::vector<char*> raw;
            for (auto& argument : argv) {
                raw.push_back(argument.data());
            }
            raw.push_back(nullptr);
            ::execv(raw[0], raw.data());
            ::_exit(127);
        }
        ::setpgid(pid_, pid_);
    }
    ~Background() {
        ::kill(-pid_, SIGKILL);
        if (!reaped_) {
            ::waitpid(pid_, nullptr, 0);
        }
        waitForGroupToEnd(10s);
    }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // SIGKILL to the program alone: the tools it started live on, as on a real Mac.
    void killProgram() {
        ::kill(pid_, SIGKILL);
        waitForExit(10s);
    }
    // `signal` to the program alone, as a management agent or a shell would send it.
    void signalProgram(int signal) const { ::kill(pid_, signal); }
    // Waits for the program's end; its exit status, or -1 when a signal ended it (see
    // endingSignal) or it is still running after `timeout`.
    int waitForExit(std::chrono::milliseconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!reaped_ && std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                signal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
        return reaped_ ? status_ : -1;
    }
    // Waits until nothing of the group (the program's tools included) is left.
    bool waitForGroupToEnd(std::chrono::milliseconds timeout) const {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            if (::kill(-pid_, 0) != 0 && errno == ESRCH) {
                return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    // The signal that ended the program, 0 when it exited or is still running.
    int endingSignal() const { return signal_; }
    std::string output() const { return mirrortest::readText(folder_.path() / "out"); }

  private:
    TempFolder folder_{"background"};
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = -1;
    int signal_ = 0;
};

// Polls `condition` until it holds or `timeout` passes; returns whether it held.
inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return condition();
}

// Puts the calling process in a mount namespace of its own in which `folder` is a tmpfs with
// `options` ("size=..."): a small, full disk for it and its children, gone when they end.
// System calls only, no allocation: it runs in a child between fork and exec.
inline bool mountSmallDisk(const char* folder, const char* options) {
    return ::unshare(CLONE_NEWNS) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount("tmpfs", folder, "tmpfs", 0, options) == 0;
}

}  // namespace vantrel::backgroundtest
