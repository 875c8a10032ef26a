#include "platform/OpenURL.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/Machine.h"

namespace vantrel::platform {

namespace {

// Exit statuses of the first child, which forks the opener and ends at once.
constexpr int kStarted = 0;
constexpr int kCouldNotDrop = 126;

struct ConsoleIdentity {
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;
    std::string name;
    std::string home;
};

std::optional<ConsoleIdentity> identityOf(const std::string& user) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) {
        return std::nullopt;
    }
    ConsoleIdentity identity{
        found->pw_uid, found->pw_gid, {}, found->pw_name, found->pw_dir ? found->pw_dir : "/"};
    int count = 32;
    identity.groups.resize(static_cast<std::size_t>(count));
    while (::getgrouplist(found->pw_name, found->pw_gid, identity.groups.data(), &count) == -1) {
        identity.groups.resize(static_cast<std::size_t>(count) + 32);
        count = static_cast<int>(identity.groups.size());
    }
    identity.groups.resize(static_cast<std::size_t>(count));
    return identity;
}

// The user's own runtime folder, if the system made one for them.
std::optional<std::string> runtimeFolderOf(uid_t uid) {
    const std::string folder = "/run/user/" + std::to_string(uid);
    struct stat info {};
    if (::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == uid) {
        return folder;
    }
    return std::nullopt;
}

std::vector<std::string> cleanEnvironment(const ConsoleIdentity& user) {
    std::vector<std::string> environment = {"HOME=" + user.home, "USER=" + user.name,
                                            "LOGNAME=" + user.name, "PATH=/usr/bin:/bin"};
    // Where the console's display is; the user's own credentials for it are in their home.
    if (const char* display = std::getenv("DISPLAY"); display && *display) {
        environment.push_back(std::string("DISPLAY=") + display);
    }
    if (const auto runtime = runtimeFolderOf(user.uid)) {
        environment.push_back("XDG_RUNTIME_DIR=" + *runtime);
        if (const char* wayland = std::getenv("WAYLAND_DISPLAY"); wayland && *wayland) {
            environment.push_back(std::string("WAYLAND_DISPLAY=") + wayland);
        }
    }
    return environment;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> list;
    for (auto& text : texts) {
        list.push_back(text.data());
    }
    list.push_back(nullptr);
    return list;
}

// In the forked child: only calls that are safe between fork and exec. It gives up root,
// starts the opener and ends, so that its status tells whether root was given up.
[[noreturn]] void becomeUserAndExec(const ConsoleIdentity& user, const char* executable,
                                    char* const* argv, char* const* envp) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        ::sigaction(signal, &byDefault, nullptr);
    }
    if (::setgroups(user.groups.size(), user.groups.data()) != 0 || ::setgid(user.gid) != 0 ||
        ::setuid(user.uid) != 0) {
        ::_exit(kCouldNotDrop);
    }
    // Root must be gone for good, not just set aside.
    if (::setuid(0) == 0 || ::getuid() == 0 || ::geteuid() == 0 || ::getegid() != user.gid) {
        ::_exit(kCouldNotDrop);
    }
    if (::chdir(user.home.c_str()) != 0 && ::chdir("/") != 0) {
        ::_exit(kCouldNotDrop);
    }
    const int null = ::open("/dev/null", O_RDWR);
    if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(null, 1) < 0 || ::dup2(null, 2) < 0) {
        ::_exit(kCouldNotDrop);
    }
    ::close_range(3, ~0U, 0);
    ::setsid();
    // The opener is nobody's child of ours: the program never waits for a browser.
    const pid_t opener = ::fork();
    if (opener != 0) {
        ::_exit(opener < 0 ? kCouldNotDrop : kStarted);
    }
    ::execve(executable, argv, envp);
    ::_exit(127);
}

}  // namespace

std::optional<std::string> openURLAsConsoleUser(const MacRoot& root, const Machine& machine,
                                                const std::string& address) {
    const auto user = machine.consoleUser();
    if (!user) {
        return "nobody is logged in at the console";
    }
    const auto identity = identityOf(*user);
    if (!identity) {
        return "the console user " + *user + " is not known to this system";
    }
    if (identity->uid == 0) {
        return "the console user is root";
    }
    std::string executable = root.host("/usr/bin/open").string();
    std::error_code ec;
    if (!std::filesystem::exists(executable, ec)) {
        executable = "/usr/bin/xdg-open";
        if (!std::filesystem::exists(executable, ec)) {
            return "there is no program to open web addresses";
        }
    }
    std::vector<std::string> arguments = {executable, address};
    std::vector<std::string> environment = cleanEnvironment(*identity);
    const auto argv = pointers(arguments);
    const auto envp = pointers(environment);

    const pid_t child = ::fork();
    if (child < 0) {
        return "no process could be started";
    }
    if (child == 0) {
        becomeUserAndExec(*identity, executable.c_str(), argv.data(), envp.data());
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != kStarted) {
        return "the opener could not give up root's rights";
    }
    return std::nullopt;
}

}  // namespace vantrel::platform
