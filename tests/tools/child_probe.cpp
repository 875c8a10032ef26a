// A test tool that the tests put into a simulated Mac in place of a stand-in (as
// /usr/sbin/installer, startosinstall or /usr/bin/hdiutil). It reports what it inherited from
// the program and behaves as the files in <Mac>/probe/ ask:
//
//   <name>.report   written by the tool: its open descriptors, ignored and blocked signals
//   helper          fork a helper that keeps standard output and error open and never exits;
//                   its id goes to <name>.helper
//   burst           enlarge the standard-output pipe, write the tool's id, wait until it has
//                   been read, then write 256 KiB at once just before exiting
//   hold            write "holding" (the tool's id) and wait for a signal instead of going on;
//                   as hdiutil, after the real tool (hdiutil.real beside it) has run
//   stubborn        while holding: SIGTERM only writes "asked-to-stop"
//
// Its last line is the one its name calls for: a failure line as the package installer, a
// progress line as startosinstall.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/MacRoot.h"
#include "platform/simmac/SimulatedMac.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

fs::path probeFolder;

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

// Written whole or not at all, so a test that waits for the file reads it complete.
void writeFile(const fs::path& path, const std::string& text) {
    const fs::path partial = path.string() + ".partial";
    std::ofstream(partial) << text;
    fs::rename(partial, path);
}

std::string openDescriptors() {
    std::string list;
    DIR* folder = ::opendir("/proc/self/fd");
    if (!folder) {
        return "unknown";
    }
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || std::stoi(name) == ::dirfd(folder)) {
            continue;
        }
        list += (list.empty() ? "" : " ") + name;
    }
    ::closedir(folder);
    return list;
}

// The signals glibc reserves for itself (32 and 33): its posix_spawn leaves them ignored in a
// child, whose own C library takes them back when it starts.
constexpr unsigned long long kLibcSignals = (1ULL << 31) | (1ULL << 32);

std::string statusField(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            std::istringstream value(line.substr(field.size() + 1));
            std::string text;
            value >> text;
            return text;
        }
    }
    return "unknown";
}

bool asked(const char* name) {
    return fs::exists(probeFolder / name);
}

[[noreturn]] void waitForever() {
    for (;;) {
        ::pause();
    }
}

void onStubbornTerm(int) {
    static const std::string path = (probeFolder / "asked-to-stop").string();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ::close(fd);
}

int runRealHdiutil(char** argv) {
    const std::string real = fs::read_symlink("/proc/self/exe").string() + ".real";
    argv[0] = const_cast<char*>(real.c_str());
    pid_t pid = 0;
    if (::posix_spawn(&pid, real.c_str(), nullptr, nullptr, argv, environ) != 0) {
        return 1;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

// Writes the tool's id, then waits until the reader has taken it.
void announceAndWaitUntilRead() {
    writeAll(STDOUT_FILENO, std::to_string(::getpid()) + "\n");
    for (int i = 0; i < 3000; ++i) {
        int pending = 0;
        if (::ioctl(STDOUT_FILENO, FIONREAD, &pending) != 0 || pending == 0) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

int main(int argc, char** argv) {
    (void)argc;
    const auto root = vantrel::simmac::SimulatedMac::discoverForThisProcess();
    if (!root) {
        return 70;
    }
    probeFolder = root->host("/probe");
    fs::create_directories(probeFolder);
    const std::string name = fs::path(argv[0]).filename().string();
    char ignored[32];
    std::snprintf(ignored, sizeof ignored, "%016llx",
                  std::stoull(statusField("SigIgn"), nullptr, 16) & ~kLibcSignals);
    writeFile(probeFolder / (name + ".report"), "fds " + openDescriptors() + "\nSigIgn " + ignored +
                                                    "\nSigBlk " + statusField("SigBlk") + "\n");

    const int hdiutilStatus = name == "hdiutil" ? runRealHdiutil(argv) : 0;
    if (asked("hold")) {
        if (asked("stubborn")) {
            ::signal(SIGTERM, onStubbornTerm);
        }
        writeFile(probeFolder / "holding", std::to_string(::getpid()));
        waitForever();
    }
    if (name == "hdiutil") {
        return hdiutilStatus;
    }
    if (asked("helper")) {
        const pid_t helper = ::fork();
        if (helper == 0) {
            waitForever();
        }
        writeFile(probeFolder / (name + ".helper"), std::to_string(helper));
    }
    std::string last = "probe done\n";
    int status = 0;
    if (name == "installer") {
        last = "installer: The install failed. (probe)\n";
        status = 1;
    } else if (name == "startosinstall") {
        last = "Preparing: 42%\n";
    }
    if (asked("burst")) {
        ::fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 1024 * 1024);
        announceAndWaitUntilRead();
        last = std::string(256 * 1024, '.') + "\n" + last;
    }
    writeAll(STDOUT_FILENO, last);
    return status;
}
