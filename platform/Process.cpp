#include "platform/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>

extern char** environ;

namespace vantrel::platform {

namespace {

Error launchError(const ProcessSpec& spec, int code) {
    const std::string name = std::filesystem::path(spec.executable).filename().string();
    if (code == ENOENT) {
        return Error{"The file “" + name + "” doesn’t exist."};
    }
    if (code == EACCES) {
        return Error{"The file “" + name +
                     "” couldn’t be opened because you don’t have permission to view it."};
    }
    return Error{"The file “" + name + "” couldn’t be started: " + std::strerror(code)};
}

// argv and envp for posix_spawn, owning their strings.
struct SpawnVectors {
    std::vector<std::string> storage;
    std::vector<char*> argv;
    std::vector<std::string> envStorage;
    std::vector<char*> envp;

    SpawnVectors(const std::string& hostExecutable, const ProcessSpec& spec) {
        storage.push_back(hostExecutable);
        storage.insert(storage.end(), spec.arguments.begin(), spec.arguments.end());
        for (auto& s : storage) {
            argv.push_back(s.data());
        }
        argv.push_back(nullptr);
        if (spec.environment) {
            for (const auto& [name, value] : *spec.environment) {
                envStorage.push_back(name + "=" + value);
            }
            for (auto& s : envStorage) {
                envp.push_back(s.data());
            }
            envp.push_back(nullptr);
        }
    }
    char* const* environment() { return envp.empty() ? environ : envp.data(); }
};

int waitForChild(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// The children running now, so that the end of the process can reach them. A child leaves
// the list before it is reaped, so a listed id is never one the kernel could have given to
// another process.
struct Children {
    std::mutex lock;
    std::condition_variable changed;
    std::set<pid_t> running;
    bool stopping = false;
};

Children& children() {
    static auto* state = new Children;  // never destroyed: the process's last moments use it
    return *state;
}

constexpr int kJobSignals[] = {SIGHUP, SIGINT, SIGQUIT};

sigset_t& jobSignalsIgnoredByCaller() {
    static sigset_t set = [] {
        sigset_t none;
        sigemptyset(&none);
        return none;
    }();
    return set;
}

// A started child; `exitEvent` becomes readable when it exits (-1 when the kernel cannot
// tell, and the child is looked at now and then instead).
struct Child {
    pid_t pid = -1;
    int exitEvent = -1;
};

// Starts the child with nothing of this process but its standard streams (standard output
// and error replaced by `outFd` and `errFd` when given), default signal dispositions and an
// empty signal mask: an ignored SIGPIPE or a blocked SIGTERM of ours must not become the
// tool's.
std::optional<Error> startChild(const MacRoot& root, const ProcessSpec& spec, int outFd, int errFd,
                                Child* child) {
    const std::string hostExecutable = root.host(spec.executable).string();
    SpawnVectors vectors(hostExecutable, spec);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
    }
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigset_t none;
    sigfillset(&defaults);
    for (const int signal : kJobSignals) {
        if (sigismember(&jobSignalsIgnoredByCaller(), signal)) {
            sigdelset(&defaults, signal);
        }
    }
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    auto& state = children();
    bool refused = false;
    int spawned = 0;
    {
        // Under the lock: a child is either on the list before the end begins, or not started.
        std::lock_guard<std::mutex> guard(state.lock);
        refused = state.stopping;
        if (!refused) {
            spawned = ::posix_spawn(&child->pid, hostExecutable.c_str(), &actions, &attributes,
                                    vectors.argv.data(), vectors.environment());
        }
        if (!refused && spawned == 0) {
            state.running.insert(child->pid);
            child->exitEvent = static_cast<int>(::syscall(SYS_pidfd_open, child->pid, 0));
        }
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (refused) {
        const std::string name = std::filesystem::path(spec.executable).filename().string();
        return Error{"The file “" + name + "” was not started: the run is ending."};
    }
    return spawned == 0 ? std::nullopt : std::optional<Error>(launchError(spec, spawned));
}

bool hasExited(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

// Waits for the child's exit, takes it off the list and reaps it; returns its status.
int finishChild(const Child& child) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOWAIT) < 0 &&
           errno == EINTR) {
    }
    auto& state = children();
    {
        std::lock_guard<std::mutex> guard(state.lock);
        state.running.erase(child.pid);
    }
    state.changed.notify_all();
    if (child.exitEvent >= 0) {
        ::close(child.exitEvent);
    }
    return waitForChild(child.pid);
}

// At most this much is read from a pipe once its writer has exited: a helper of the tool
// that goes on writing cannot hold the run up.
constexpr std::size_t kDrainLimit = 1024 * 1024;

}  // namespace

void keepJobSignalsIgnoredByCaller() {
    for (const int signal : kJobSignals) {
        struct sigaction action {};
        if (::sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
            sigaddset(&jobSignalsIgnoredByCaller(), signal);
        }
    }
}

std::optional<Error> runWithPipes(const MacRoot& root, const ProcessSpec& spec,
                                  const ChunkReader& onStandardOutput,
                                  const ChunkReader& onStandardError, int* exitStatus) {
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        return launchError(spec, errno);
    }
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        const int code = errno;
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return launchError(spec, code);
    }
    Child child;
    const auto error = startChild(root, spec, outPipe[1], errPipe[1], &child);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (error) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        return error;
    }

    std::array<pollfd, 3> fds{pollfd{outPipe[0], POLLIN, 0}, pollfd{errPipe[0], POLLIN, 0},
                              pollfd{child.exitEvent, POLLIN, 0}};
    const ChunkReader* readers[] = {&onStandardOutput, &onStandardError};
    std::array<char, 64 * 1024> buffer;
    // Hands on one read of pipe `i`; false once the pipe has nothing more now or ever.
    const auto readOnce = [&](std::size_t i) {
        const ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            return true;
        }
        if (n < 0 && errno == EAGAIN) {
            return false;
        }
        if (n <= 0) {
            ::close(fds[i].fd);
            fds[i].fd = -1;
            return false;
        }
        if (*readers[i]) {
            (*readers[i])(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        }
        return true;
    };
    // The run follows the tool's life, not its pipes': a helper of the tool may inherit them
    // and hold them open long after the tool has gone.
    bool exited = false;
    while (!exited) {
        const int timeout = child.exitEvent >= 0 ? -1 : 100;
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            break;
        }
        for (std::size_t i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && fds[i].revents != 0) {
                readOnce(i);
            }
        }
        exited = fds[2].fd >= 0 ? fds[2].revents != 0 : hasExited(child.pid);
    }
    // Everything the tool wrote before it exited is in the pipes now: hand it on without
    // waiting for ends of stream that may never come.
    for (std::size_t i = 0; i < 2; ++i) {
        if (fds[i].fd < 0) {
            continue;
        }
        ::fcntl(fds[i].fd, F_SETFL, ::fcntl(fds[i].fd, F_GETFL) | O_NONBLOCK);
        std::size_t budget = kDrainLimit / buffer.size();
        while (budget-- > 0 && fds[i].fd >= 0 && readOnce(i)) {
        }
        if (fds[i].fd >= 0) {
            ::close(fds[i].fd);
        }
    }
    const int status = finishChild(child);
    if (exitStatus) {
        *exitStatus = status;
    }
    return std::nullopt;
}

std::optional<Error> runInheritingStreams(const MacRoot& root, const ProcessSpec& spec,
                                          int* exitStatus) {
    Child child;
    if (auto error = startChild(root, spec, -1, -1, &child)) {
        return error;
    }
    const int status = finishChild(child);
    if (exitStatus) {
        *exitStatus = status;
    }
    return std::nullopt;
}

bool stopChildProcesses(int signal, std::chrono::milliseconds grace) {
    auto& state = children();
    std::unique_lock<std::mutex> guard(state.lock);
    state.stopping = true;
    for (const pid_t pid : state.running) {
        ::kill(pid, signal);
    }
    return state.changed.wait_for(guard, grace, [&] { return state.running.empty(); });
}

}  // namespace vantrel::platform
