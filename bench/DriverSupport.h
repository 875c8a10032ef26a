#pragma once

// Small pieces shared by the benchmark driver's modes: running on a simulated Mac made by
// `vantrel-sim create`, clocks, and the one-line JSON results the orchestrator reads.

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "net/DownloadSession.h"
#include "net/ExpectedFile.h"
#include "net/Http.h"
#include "platform/Services.h"

namespace vantrel::bench {

// Runs this process on the simulated Mac at `root`, as the Vantrel bundle installed in it, with
// the services the program's entry point would build there.
void useSimulatedMac(const std::filesystem::path& root);
// After useSimulatedMac: the Mac's services, its network plug-in, a document client and the
// download session's configuration with the program's own limits.
const platform::Services& services();
net::NetworkPlugIn& network();
net::HttpClient& documents();
net::DownloadSession::Configuration downloadConfiguration();

// The non-empty lines of a file.
std::vector<std::string> readLines(const std::filesystem::path& file);

// A list of files to download, a line each: "URL" or "URL SIZE DIGEST", what the catalog says
// of the file. Throws when the list is empty.
struct DownloadList {
    std::vector<std::string> urls;
    std::map<std::string, net::ExpectedFile> expected;
};
DownloadList readDownloadList(const std::filesystem::path& file);

double secondsSince(std::chrono::steady_clock::time_point start);
double median(std::vector<double> values);

// This process's CPU time so far (user and system), in seconds.
struct CpuTime {
    double user = 0;
    double system = 0;
};
CpuTime cpuTime();
// Peak resident set size of this process so far, in bytes.
long peakResidentBytes();

// A flat JSON object of numbers and texts, written as one line.
class Result {
  public:
    Result& number(const std::string& key, double value);
    Result& text(const std::string& key, const std::string& value);
    Result& numbers(const std::string& key, const std::vector<double>& values);
    // Writes the object to `file` (or standard error when empty) and returns.
    void write(const std::filesystem::path& file) const;

  private:
    std::vector<std::pair<std::string, std::string>> fields_;
};

}  // namespace vantrel::bench
