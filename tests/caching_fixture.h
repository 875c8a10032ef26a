#pragma once

// Small fixtures for the caching tests: a bare simulated Mac for in-process tests, the main
// queue served by hand, and standard output captured.

#include <fcntl.h>
#include <plist/plist.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/Logging.h"
#include "base/Notifications.h"
#include "base/SharedData.h"
#include "net/NetworkLibrary.h"
#include "platform/simmac/SimulatedMac.h"
#include "plist/Plist.h"
#include "tests/support/InProcessMac.h"
#include "tests/support/TestProcess.h"

namespace vantrel::cachingtest {

namespace fs = std::filesystem;

inline fs::path makeTempFolder(const std::string& tag) {
    std::string pattern = (fs::temp_directory_path() / ("vantrel-" + tag + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}

inline void writeFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Serves the main queue on the calling thread until `done` holds or `timeout` passes.
inline bool pumpMainQueueUntil(const std::function<bool()>& done,
                               std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        testsupport::mainQueue().runQueuedWork();
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    testsupport::mainQueue().runQueuedWork();
    return done();
}

// Sends what the program writes to standard output into a file while it lives. Keep it
// short-lived: the test framework's own messages go to standard output too.
class StdoutCapture {
  public:
    StdoutCapture() : path_(makeTempFolder("stdout") / "out") {
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, STDOUT_FILENO);
        ::close(fd);
    }
    ~StdoutCapture() {
        restore();
        std::error_code ec;
        fs::remove_all(path_.parent_path(), ec);
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Ends the capture and answers the lines written.
    std::vector<std::string> lines() {
        restore();
        std::vector<std::string> out;
        std::istringstream in(readFile(path_));
        for (std::string line; std::getline(in, line);) {
            out.push_back(line);
        }
        return out;
    }

  private:
    void restore() {
        if (saved_ >= 0) {
            std::fflush(stdout);
            ::dup2(saved_, STDOUT_FILENO);
            ::close(saved_);
            saved_ = -1;
        }
    }
    fs::path path_;
    int saved_ = -1;
};

// A bare simulated Mac made by hand in a temporary folder and used by this process: enough
// for the log, the temporary directory, the bundle identifier, machine facts and child
// processes. Resets SharedData, the observers and the main queue. Removed when it goes away.
class BareMac {
  public:
    explicit BareMac(const std::string& productVersion = "10.15.7",
                     const std::string& boardID = "Mac-TEST", bool vmm = false)
        : root_(makeTempFolder("mac")) {
        plist_t facts = plist_new_dict();
        plist_t device = plist_new_dict();
        const std::string board = boardID + std::string(1, '\0');
        plist_dict_set_item(device, "board-id",
                            plist_new_data(board.data(), static_cast<uint64_t>(board.size())));
        plist_dict_set_item(facts, "IOPlatformExpertDevice", device);
        plist_t sysctl = plist_new_dict();
        plist_dict_set_item(sysctl, "machdep.cpu.features",
                            plist_new_string(vmm ? "FPU VME VMM SSE" : "FPU VME SSE"));
        plist_dict_set_item(facts, "sysctl", sysctl);
        writeDictionary("SimulatedMac.plist", facts);
        writeDictionary("System/Library/CoreServices/SystemVersion.plist",
                        oneString("ProductVersion", productVersion));
        writeDictionary("Applications/Vantrel.app/Contents/Info.plist",
                        oneString("CFBundleIdentifier", "com.corvane.vantrel"));
        fs::create_directories(root_ / "Library/Application Support/com.corvane.vantrel");
        // The build's network plug-in, where the program loads it from.
        fs::create_directories(root_ / "Applications/Vantrel.app/Contents/PlugIns");
        fs::copy_file(VANTREL_NETWORK_PLUGIN,
                      root_ / "Applications/Vantrel.app/Contents/PlugIns/libvantrel-network.so");

        mac_ = std::make_unique<simmac::SimulatedMac>(platform::MacRoot(root_),
                                                      root_ / "Applications/Vantrel.app",
                                                      testsupport::processServices());
        network_ =
            std::make_unique<net::NetworkPlugIn>(mac_->root(), root_ / "Applications/Vantrel.app");
        useLogSink(&mac_->services().log);
        testsupport::useInProcessMac(mac_->services(), *network_);
        SharedData::shared().restoreDefaults();
        SharedData::shared().describeMachine(mac_->services().machine);
        NotificationCenter::defaultCenter().removeAllObservers();
        testsupport::mainQueue().runQueuedWork();
    }
    ~BareMac() {
        testsupport::mainQueue().runQueuedWork();
        forgetLogSink(&mac_->services().log);
        testsupport::forgetInProcessMac(mac_->services());
        NotificationCenter::defaultCenter().removeAllObservers();
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    BareMac(const BareMac&) = delete;
    BareMac& operator=(const BareMac&) = delete;

    const fs::path& root() const { return root_; }
    fs::path host(const std::string& macPath) const { return mac_->root().host(macPath); }
    platform::Services services() const { return mac_->services(); }
    net::NetworkPlugIn& network() const { return *network_; }
    std::string log() const { return readFile(root_ / "private/var/log/vantrel.log"); }

  private:
    static plist_t oneString(const char* key, const std::string& value) {
        plist_t dictionary = plist_new_dict();
        plist_dict_set_item(dictionary, key, plist_new_string(value.c_str()));
        return dictionary;
    }
    // Writes `dictionary` to `file` under the Mac's root, and frees it.
    void writeDictionary(const std::string& file, plist_t dictionary) const {
        fs::create_directories((root_ / file).parent_path());
        plist::writePlistFile(root_ / file, dictionary);
        plist_free(dictionary);
    }

    fs::path root_;
    std::unique_ptr<simmac::SimulatedMac> mac_;
    std::unique_ptr<net::NetworkPlugIn> network_;
};

}  // namespace vantrel::cachingtest
