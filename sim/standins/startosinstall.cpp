// Stand-in for the installer application's startosinstall. It checks its arguments as the real
// tool does, prints "Preparing: <n>%" progress unbuffered on standard output, records the
// installation it was asked for in the simulated Mac, and then signals the --pidtosignal
// process, as the real machine does when it restarts into the installer. Told to refuse
// (vantrel-sim refuse), it prints "Error: <message>" on standard error and fails instead.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/MacRoot.h"
#include "platform/simmac/SimulatedMac.h"
#include "sim/lib/ReaderPace.h"
#include "sim/lib/SimState.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using vantrel::platform::MacRoot;
using vantrel::sim::InstallationRecord;

int refuse(const std::string& message) {
    const std::string line = "Error: " + message + "\n";
    (void)!::write(STDERR_FILENO, line.data(), line.size());
    return 1;
}

void writeLine(const std::string& text) {
    const std::string line = text + "\n";
    (void)!::write(STDOUT_FILENO, line.data(), line.size());  // one write: one line per read
}

bool parsePid(const std::string& text, long* pid) {
    if (text.empty() || text.size() > 10 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    *pid = std::stol(text);
    return *pid > 0;
}

std::vector<std::pair<std::string, std::string>> environmentNow() {
    std::vector<std::pair<std::string, std::string>> variables;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        variables.emplace_back(text.substr(0, equals),
                               equals == std::string::npos ? "" : text.substr(equals + 1));
    }
    std::sort(variables.begin(), variables.end());
    return variables;
}

}  // namespace

int main(int argc, char** argv) {
    const auto executable = vantrel::simmac::SimulatedMac::thisExecutable();
    const auto root = vantrel::simmac::SimulatedMac::discoverFrom(executable);
    if (!root) {
        return refuse("startosinstall must run inside a simulated Mac.");
    }
    InstallationRecord record;
    bool agreed = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        record.arguments.push_back(argument);
        if (argument == "--agreetolicense") {
            agreed = true;
        } else if (argument == "--erase") {
            record.erase = true;
        } else if (argument == "--forcequitapps") {
            record.forceQuitApps = true;
        } else if (argument == "--pidtosignal") {
            if (i + 1 >= argc || !parsePid(argv[i + 1], &record.pidToSignal)) {
                return refuse("--pidtosignal needs the id of a running process.");
            }
            record.arguments.push_back(argv[++i]);
        } else {
            return refuse("unrecognized option: " + argument);
        }
    }
    if (!agreed) {
        return refuse("You must agree to the license with --agreetolicense to continue.");
    }
    if (const auto message = vantrel::sim::startosinstallRefusal(*root)) {
        return refuse(*message);
    }
    // .../Install macOS <name>.app/Contents/Resources/startosinstall
    record.installer = root->mac(executable.parent_path().parent_path().parent_path());
    record.environment = environmentNow();

    // The real tool prints its progress seconds apart, so each line reaches the reader on its
    // own: each waits until the reader has taken the one before.
    writeLine("Preparing to run macOS Installer...");
    for (const double step : vantrel::sim::kPreparingSteps) {
        vantrel::sim::waitUntilReaderTookAll(STDOUT_FILENO);
        char text[64];
        std::snprintf(text, sizeof text, "Preparing: %g%%", step);
        writeLine(text);
    }
    // No progress line is still in the pipe when the reader's process is signalled.
    vantrel::sim::waitUntilReaderTookAll(STDOUT_FILENO);
    // The machine takes a moment before it restarts; the reader handles the last lines then.
    std::this_thread::sleep_for(500ms);

    // Recorded before the signal: once the process is gone, whoever waited for it may look.
    record.signalled = record.pidToSignal > 0;
    if (!vantrel::sim::writeInstallationRecord(*root, record)) {
        return refuse("could not record the installation in the simulated Mac.");
    }
    if (record.pidToSignal > 0 && ::kill(static_cast<pid_t>(record.pidToSignal), SIGUSR1) != 0) {
        const int code = errno;
        record.signalled = false;
        vantrel::sim::writeInstallationRecord(*root, record);
        return refuse("could not signal process " + std::to_string(record.pidToSignal) + ": " +
                      std::strerror(code));
    }
    return 0;
}
