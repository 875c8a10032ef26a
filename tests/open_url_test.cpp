// The window's logo opens the maker's site as the user at the console, never as root: the
// opener (the Mac's /usr/bin/open, here a script of the test's) reports who it runs as, with
// what environment and which open files, through a pipe the test waits on.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/OpenURL.h"
#include "tests/support/InProcessMac.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

using testsupport::TempMac;
namespace fs = std::filesystem;

// Reads everything written to the FIFO at `path` by one writer, waiting at most 30 s.
std::string readFifo(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    std::string text;
    pollfd ready{fd, POLLIN, 0};
    char buffer[4096];
    bool writerSeen = false;
    while (::poll(&ready, 1, 30000) == 1) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            writerSeen = true;
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 && writerSeen) {
            break;  // the writer is done
        }
    }
    ::close(fd);
    return text;
}

// A Mac whose console user is `user`, with an opener that tells where it ran.
struct OpenerMac {
    explicit OpenerMac(const std::string& user)
        : mac(user.empty() ? std::vector<std::string>{}
                           : std::vector<std::string>{"--console-user", user}) {
        fs::permissions(mac.root(), fs::perms(0755));  // the user must reach the opener
        fifo = mac.root() / "opened";
        ::mkfifo(fifo.c_str(), 0666);
        ::chmod(fifo.c_str(), 0666);
        fs::create_directories(mac.host("/usr/bin"));
        const auto opener = mac.host("/usr/bin/open");
        std::ofstream(opener) << "#!/bin/sh\n{ echo \"uid=$(id -u) gid=$(id -g) groups=$(id -G)\"; "
                                 "echo \"url=$1\"; echo \"dir=$(pwd)\"; "
                                 "for f in /proc/$$/fd/*; do readlink $f; done; env; } > "
                              << fifo.string() << "\n";
        fs::permissions(opener, fs::perms(0755));
        mac.useInProcess();
    }
    TempMac mac;
    fs::path fifo;
};

TEST(OpenURLTest, TheOpenerRunsAsTheConsoleUserWithACleanEnvironmentAndNoOpenFiles) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can take another user's identity";
    }
    OpenerMac mac("nobody");
    ::setenv("VANTREL_ROOT_SECRET", "root's", 1);
    const auto secret = mac.mac.root() / "root-only";
    std::ofstream(secret) << "root's\n";
    const int leaked = ::open(secret.c_str(), O_RDONLY);  // root's, not closed on exec
    ASSERT_GE(leaked, 3);
    // Root's supplementary groups, which the opener must not keep.
    std::vector<gid_t> rootGroups(static_cast<std::size_t>(::getgroups(0, nullptr)));
    ::getgroups(static_cast<int>(rootGroups.size()), rootGroups.data());
    const gid_t extra[] = {0, 4, 27};
    ASSERT_EQ(::setgroups(3, extra), 0);
    const auto failure = platform::openURLAsConsoleUser(testsupport::inProcessServices().root,
                                                        testsupport::inProcessServices().machine,
                                                        "https://www.corvane.com");
    ::setgroups(rootGroups.size(), rootGroups.data());
    ::close(leaked);
    ::unsetenv("VANTREL_ROOT_SECRET");
    ASSERT_FALSE(failure) << *failure;
    const std::string report = readFifo(mac.fifo);
    EXPECT_NE(report.find("uid=65534 gid=65534 groups=65534\n"), std::string::npos) << report;
    EXPECT_NE(report.find("url=https://www.corvane.com\n"), std::string::npos) << report;
    EXPECT_NE(report.find("USER=nobody\n"), std::string::npos) << report;
    EXPECT_NE(report.find("PATH=/usr/bin:/bin\n"), std::string::npos) << report;
    EXPECT_EQ(report.find("VANTREL_ROOT_SECRET"), std::string::npos) << report;
    EXPECT_EQ(report.find("LD_"), std::string::npos) << report;
    // Standard input, output and error, and the shell's own: nothing of root's.
    EXPECT_EQ(report.find(secret.string()), std::string::npos) << report;
}

TEST(OpenURLTest, NothingIsOpenedForRootAnUnknownUserOrNobodyAtTheConsole) {
    {
        OpenerMac mac("root");
        EXPECT_EQ(platform::openURLAsConsoleUser(testsupport::inProcessServices().root,
                                                 testsupport::inProcessServices().machine,
                                                 "https://www.corvane.com"),
                  "the console user is root");
    }
    {
        OpenerMac mac("alice-not-on-this-system");
        EXPECT_EQ(platform::openURLAsConsoleUser(testsupport::inProcessServices().root,
                                                 testsupport::inProcessServices().machine,
                                                 "https://www.corvane.com"),
                  "the console user alice-not-on-this-system is not known to this system");
    }
    {
        OpenerMac mac("");
        EXPECT_EQ(platform::openURLAsConsoleUser(testsupport::inProcessServices().root,
                                                 testsupport::inProcessServices().machine,
                                                 "https://www.corvane.com"),
                  "nobody is logged in at the console");
    }
}

}  // namespace
}  // namespace vantrel
