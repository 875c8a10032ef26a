#include "tests/support/TempMac.h"

#include <stdlib.h>

#include <fstream>
#include <regex>
#include <stdexcept>
#include <thread>

#include "base/Logging.h"
#include "base/Notifications.h"
#include "base/SharedData.h"
#include "sim/lib/SimulatedMac.h"
#include "tests/support/InProcessMac.h"
#include "tests/support/TestProcess.h"

namespace vantrel::testsupport {

namespace fs = std::filesystem;

namespace {

fs::path makeTempFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = (fs::path(base && *base ? base : "/tmp") / "vantrel-mac-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        throw std::runtime_error("cannot make a temporary folder");
    }
    return pattern;
}

std::string lastLine(std::string text) {
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    const auto newline = text.rfind('\n');
    return newline == std::string::npos ? text : text.substr(newline + 1);
}

}  // namespace

TempMac::TempMac(const std::vector<std::string>& createOptions) : root_(makeTempFolder()) {
    std::vector<std::string> arguments{"create", root_.string()};
    arguments.insert(arguments.end(), createOptions.begin(), createOptions.end());
    const RunResult created = runProgram(simTool(), arguments);
    if (!created.exited(0)) {
        std::error_code ec;
        fs::remove_all(root_, ec);
        throw std::runtime_error("vantrel-sim create failed: " + created.standardError);
    }
    program_ = lastLine(created.standardOutput);
}

TempMac::~TempMac() {
    if (mac_) {
        forgetLogSink(&mac_->services().log);
        forgetInProcessMac(mac_->services());
    }
    std::error_code ec;
    fs::remove_all(root_, ec);
}

fs::path TempMac::host(std::string_view macPath) const {
    return platform::MacRoot(root_).host(macPath);
}

std::string TempMac::sim(const std::string& command,
                         const std::vector<std::string>& arguments) const {
    std::vector<std::string> all{command, root_.string()};
    all.insert(all.end(), arguments.begin(), arguments.end());
    const RunResult result = runProgram(simTool(), all);
    if (!result.exited(0)) {
        throw std::runtime_error("vantrel-sim " + command + " failed: " + result.standardError);
    }
    return result.standardOutput;
}

std::string TempMac::addInstaller(const std::string& release, const std::string& build,
                                  const std::string& folder) const {
    return lastLine(sim("add-installer", {"--release", release, "--build", build, "--in", folder}));
}

RunResult TempMac::run(const std::vector<std::string>& arguments,
                       std::chrono::milliseconds timeout) const {
    return runProgram(program_, arguments, timeout);
}

std::vector<LogEntry> TempMac::log() const {
    static const std::regex line(R"(^\S+ \S+ (\S+) \[([^\]]*)\] <(\w+)> (.*)$)");
    std::vector<LogEntry> entries;
    std::ifstream in(host("/private/var/log/vantrel.log"));
    std::string text;
    while (std::getline(in, text)) {
        std::smatch match;
        if (std::regex_match(text, match, line)) {
            entries.push_back({match[1], match[2], match[3], match[4]});
        }
    }
    return entries;
}

bool TempMac::logged(const std::string& category, const std::string& level,
                     const std::string& message) const {
    const LogEntry wanted{"com.corvane.vantrel", category, level, message};
    for (const auto& entry : log()) {
        if (entry == wanted) {
            return true;
        }
    }
    return false;
}

std::optional<sim::InstallationRecord> TempMac::installation() const {
    return sim::readInstallationRecord(platform::MacRoot(root_));
}

platform::Services TempMac::services() const {
    if (!mac_) {
        mac_ = std::make_unique<simmac::SimulatedMac>(platform::MacRoot(root_),
                                                      host(sim::kAppInMac), processServices());
    }
    return mac_->services();
}

net::NetworkPlugIn& TempMac::network() const {
    if (!network_) {
        const platform::Services mac = services();
        network_ = std::make_unique<net::NetworkPlugIn>(mac.root, mac.appBundle);
    }
    return *network_;
}

void TempMac::useInProcess() const {
    mainQueue().runQueuedWork();  // nothing of an earlier test may run on this Mac
    const platform::Services mac = services();
    useLogSink(&mac.log);
    useInProcessMac(mac, network());
    NotificationCenter::defaultCenter().removeAllObservers();
    SharedData::shared().restoreDefaults();
    SharedData::shared().describeMachine(mac.machine);
}

bool serveMainQueueUntil(const std::function<bool()>& condition,
                         std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        mainQueue().runQueuedWork();
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace vantrel::testsupport
