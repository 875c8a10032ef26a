#pragma once

// Fixtures for tests against the stand-in update server: a mirror folder made by vantrel-sim,
// and `vantrel-sim serve` on it in the background. Both clean up after themselves: the server
// gets SIGTERM (then SIGKILL) and the folder goes.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sim/lib/MirrorManifest.h"
#include "tests/support/ProgramRun.h"

extern char** environ;

namespace vantrel::mirrortest {

namespace fs = std::filesystem;

class TempFolder {
  public:
    explicit TempFolder(const std::string& tag = "mirror") {
        std::string pattern = (fs::temp_directory_path() / ("vantrel-" + tag + "-XXXXXX")).string();
        if (!::mkdtemp(pattern.data())) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

// Whether `line` is the program's echo of the package installer's failure: the chunk's quoted
// pieces, one of them the failure line (a progress line read in the same chunk comes first).
inline bool echoesInstallerFailure(const std::string& line) {
    return line.rfind("[\"", 0) == 0 &&
           line.find("\"installer: The install failed") != std::string::npos;
}

inline std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// `vantrel-sim mirror` into a fresh folder; throws with its error output when it fails.
class MirrorFolder {
  public:
    explicit MirrorFolder(const std::vector<std::string>& options,
                          const std::string& baseURL = "https://localhost:8443") {
        std::vector<std::string> arguments = {"mirror", path().string(), "--base-url", baseURL};
        arguments.insert(arguments.end(), options.begin(), options.end());
        const auto run =
            testsupport::runProgram(testsupport::simTool(), arguments, std::chrono::minutes(5));
        if (!run.exited(0)) {
            throw std::runtime_error("vantrel-sim mirror failed: " + run.standardError);
        }
    }
    const fs::path& path() const { return folder_.path(); }
    sim::MirrorManifest manifest() const { return sim::readManifest(path()); }
    // The file behind one of the mirror's URLs.
    fs::path file(const std::string& url) const {
        const auto content = url.find("/content/");
        return path() / url.substr(content + 1);
    }
    fs::path catalog(int minor) const {
        return path() / fs::path(sim::catalogPaths().at(minor)).relative_path();
    }

  private:
    TempFolder folder_{"mirror"};
};

// `vantrel-sim serve DIR --port 0 --cert-out FILE [extra...]` in the background.
class ServeProcess {
  public:
    explicit ServeProcess(const fs::path& mirror, const std::vector<std::string>& extra = {}) {
        certificate_ = certificateFolder_.path() / "server.pem";
        std::vector<std::string> arguments = {testsupport::simTool().string(),
                                              "serve",
                                              mirror.string(),
                                              "--port",
                                              "0",
                                              "--cert-out",
                                              certificate_.string()};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        output_ = out[0];
        if (spawned != 0) {
            ::close(output_);
            throw std::runtime_error("cannot start vantrel-sim serve");
        }
        url_ = readLine(std::chrono::seconds(60));
        if (url_.rfind("https://", 0) != 0) {
            stop();
            throw std::runtime_error("vantrel-sim serve did not start: '" + url_ + "'");
        }
    }
    ~ServeProcess() {
        stop();
        if (output_ >= 0) {
            ::close(output_);
        }
    }
    ServeProcess(const ServeProcess&) = delete;
    ServeProcess& operator=(const ServeProcess&) = delete;

    const std::string& url() const { return url_; }
    const fs::path& certificate() const { return certificate_; }
    pid_t pid() const { return pid_; }

    // SIGTERM, then SIGKILL after `grace`; answers the exit status (-1 when killed).
    int stop(std::chrono::milliseconds grace = std::chrono::seconds(10)) {
        if (pid_ <= 0) {
            return status_;
        }
        ::kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + grace;
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = 0;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return status_;
    }

  private:
    std::string readLine(std::chrono::milliseconds timeout) {
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd ready{output_, POLLIN, 0};
            if (::poll(&ready, 1, 100) <= 0) {
                continue;
            }
            char c = 0;
            if (::read(output_, &c, 1) != 1 || c == '\n') {
                break;
            }
            line.push_back(c);
        }
        return line;
    }

    TempFolder certificateFolder_{"serve"};
    fs::path certificate_;
    std::string url_;
    pid_t pid_ = 0;
    int output_ = -1;
    int status_ = -1;
};

}  // namespace vantrel::mirrortest
