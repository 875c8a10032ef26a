#include "tests/support/VirtualDisplay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

extern char** environ;

namespace vantrel::testsupport {

namespace {

pid_t spawn(std::vector<std::string> args, char** environment) {
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    return ::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environment) == 0 ? pid : 0;
}

// Reads one line from `fd`, waiting at most ten seconds for each byte.
std::string readLine(int fd) {
    std::string line;
    pollfd ready{fd, POLLIN, 0};
    char c = 0;
    while (::poll(&ready, 1, 10000) == 1 && ::read(fd, &c, 1) == 1 && c != '\n') {
        line += c;
    }
    return line;
}

void stop(pid_t pid) {
    if (pid) {
        ::kill(pid, SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
}

}  // namespace

VirtualDisplay::VirtualDisplay(bool withWindowManager) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return;
    }
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    server_ =
        spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
               std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24", "-nolisten", "tcp"},
              environ);
    ::close(fds[1]);
    const std::string number = server_ ? readLine(fds[0]) : "";
    ::close(fds[0]);
    if (number.empty()) {
        return;
    }
    display_ = ":" + number;
    if (withWindowManager && !startWindowManager()) {
        display_.clear();
    }
}

bool VirtualDisplay::startWindowManager() {
    std::string pattern = (std::filesystem::temp_directory_path() / "wm-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        return false;
    }
    folder_ = pattern;
    // Openbox runs its start-up command once it manages the screen; the command reports
    // through a pipe of its own, so the test waits for that moment rather than for a time.
    const auto ready = folder_ / "ready";
    if (::mkfifo(ready.c_str(), 0600) != 0) {
        return false;
    }
    std::vector<std::string> environment = {"DISPLAY=" + display_, "HOME=" + folder_.string(),
                                            "PATH=/usr/bin:/bin"};
    std::vector<char*> envp;
    for (auto& e : environment) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    windowManager_ = spawn({"openbox", "--sm-disable", "--startup",
                            "/bin/sh -c 'echo ready > " + ready.string() + "'"},
                           envp.data());
    if (!windowManager_) {
        return false;
    }
    const int fd = ::open(ready.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const bool started = fd >= 0 && readLine(fd) == "ready";
    if (fd >= 0) {
        ::close(fd);
    }
    return started;
}

VirtualDisplay::~VirtualDisplay() {
    stop(windowManager_);
    stop(server_);
    if (!folder_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }
}

}  // namespace vantrel::testsupport
