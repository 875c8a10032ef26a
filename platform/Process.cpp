#include "platform/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/Host.h"

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

}  // namespace

std::optional<Error> runWithPipes(const ProcessSpec& spec, const ChunkReader& onStandardOutput,
                                  const ChunkReader& onStandardError, int* exitStatus) {
    const std::string hostExecutable = mac().host(spec.executable).string();
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
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    SpawnVectors vectors(hostExecutable, spec);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, hostExecutable.c_str(), &actions, nullptr,
                                      vectors.argv.data(), vectors.environment());
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (spawned != 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        return launchError(spec, spawned);
    }

    std::array<pollfd, 2> fds{pollfd{outPipe[0], POLLIN, 0}, pollfd{errPipe[0], POLLIN, 0}};
    const ChunkReader* readers[] = {&onStandardOutput, &onStandardError};
    std::array<char, 64 * 1024> buffer;
    int open = 2;
    while (open > 0) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            const ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            if (*readers[i]) {
                (*readers[i])(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
            }
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0) {
            ::close(fd.fd);
        }
    }
    const int status = waitForChild(pid);
    if (exitStatus) {
        *exitStatus = status;
    }
    return std::nullopt;
}

std::optional<Error> runInheritingStreams(const ProcessSpec& spec, int* exitStatus) {
    const std::string hostExecutable = mac().host(spec.executable).string();
    SpawnVectors vectors(hostExecutable, spec);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, hostExecutable.c_str(), nullptr, nullptr,
                                      vectors.argv.data(), vectors.environment());
    if (spawned != 0) {
        return launchError(spec, spawned);
    }
    const int status = waitForChild(pid);
    if (exitStatus) {
        *exitStatus = status;
    }
    return std::nullopt;
}

}  // namespace vantrel::platform
