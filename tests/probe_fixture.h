#pragma once

// The test tool (tests/tools/child_probe.cpp) in a simulated Mac: put it in place of a tool,
// tell it what to do through files in <Mac>/probe/, read what it reported.

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/mirror_fixture.h"
#include "tests/support/TempMac.h"

namespace vantrel::probetest {

namespace fs = std::filesystem;

// Standard input, output and error only; nothing ignored, nothing blocked.
inline constexpr const char* kCleanStart =
    "fds 0 1 2\nSigIgn 0000000000000000\nSigBlk 0000000000000000\n";

// Puts the test tool at `macPath` in place of what is there (a fresh file: the stand-in there
// may be a link to the build's own).
inline void installProbe(const testsupport::TempMac& mac, const std::string& macPath) {
    const fs::path target = mac.host(macPath);
    fs::remove(target);
    fs::create_directories(target.parent_path());
    fs::copy_file(VANTREL_CHILD_PROBE, target);
    fs::permissions(target, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
}

inline void askProbe(const testsupport::TempMac& mac, const std::string& what) {
    fs::create_directories(mac.host("/probe"));
    std::ofstream(mac.host("/probe/" + what)) << "";
}

inline std::string probeFile(const testsupport::TempMac& mac, const std::string& name) {
    return mirrortest::readText(mac.host("/probe/" + name));
}

// Ends the helper the tool left behind, if any.
class HelperKiller {
  public:
    HelperKiller(const testsupport::TempMac& mac, std::string tool)
        : mac_(mac), tool_(std::move(tool)) {}
    ~HelperKiller() {
        const std::string pid = probeFile(mac_, tool_ + ".helper");
        if (!pid.empty()) {
            ::kill(std::stoi(pid), SIGKILL);
        }
    }
    HelperKiller(const HelperKiller&) = delete;
    HelperKiller& operator=(const HelperKiller&) = delete;

  private:
    const testsupport::TempMac& mac_;
    std::string tool_;
};

// Whether the process is gone or only waits to be reaped.
inline bool processEnded(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) {
        return true;
    }
    const auto close = text.rfind(") ");
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

}  // namespace vantrel::probetest
