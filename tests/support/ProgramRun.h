#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace vantrel::testsupport {

// `text` split at line ends; a last line without its line end counts too.
std::vector<std::string> splitLines(const std::string& text);

// How a program run ended, with everything it printed.
struct RunResult {
    pid_t pid = 0;
    std::string standardOutput;
    std::string standardError;
    int exitStatus = -1;    // when it exited
    int signal = 0;         // when a signal ended it
    bool timedOut = false;  // it was killed after the time limit

    bool exited(int status) const { return signal == 0 && !timedOut && exitStatus == status; }
    // Standard output split at line ends; a last line without its line end counts too.
    std::vector<std::string> outputLines() const { return splitLines(standardOutput); }
};

// Runs `program` with `arguments` (its environment is the test's, standard input is
// /dev/null), capturing both outputs through pipes until the program and everything that
// shares them have ended. After `timeout` the program's whole process group is killed and the
// run is marked timed out. Whatever the program left running in its group is killed at the end.
RunResult runProgram(const std::filesystem::path& program,
                     const std::vector<std::string>& arguments,
                     std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Waits (at most `timeout`) until the test process has no child processes left, for in-process
// tests whose workers run tools; returns whether none is left.
bool waitForNoChildProcesses(std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The build folder of the binaries under test, and vantrel-sim in it.
std::filesystem::path buildDir();
std::filesystem::path simTool();

}  // namespace vantrel::testsupport
