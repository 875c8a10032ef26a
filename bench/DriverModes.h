#pragma once

#include <chrono>
#include <filesystem>
#include <string>

namespace vantrel::bench {

struct DownloadOptions {
    std::filesystem::path mac;     // the simulated Mac to run on
    std::filesystem::path urls;    // one URL a line, in the order the program would start them
    std::filesystem::path result;  // where the JSON result goes
    std::chrono::seconds timeout{600};
};

struct RepeatOptions {
    std::filesystem::path mac;
    std::filesystem::path result;
    int repeat = 5;
    std::string osName = "Catalina";
    std::filesystem::path urlsOut;  // selection: the documents fetched, one URL a line
};

// Each mode writes one JSON object to the result file and answers the exit status.
// The download mode ends the process itself once "downloadsDone" has arrived.
[[noreturn]] int runDownload(const DownloadOptions& options);
int runProgress(const DownloadOptions& options);
int runCatalog(const RepeatOptions& options);
int runSelection(const RepeatOptions& options);

}  // namespace vantrel::bench
