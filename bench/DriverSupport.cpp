#include "bench/DriverSupport.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "base/Logging.h"
#include "base/SharedData.h"
#include "platform/StandardProcessServices.h"
#include "platform/simmac/SimulatedMac.h"

namespace vantrel::bench {

namespace fs = std::filesystem;

namespace {
std::optional<platform::Services>& benchServices() {
    static std::optional<platform::Services> services;
    return services;
}
net::NetworkPlugIn*& benchNetwork() {
    static net::NetworkPlugIn* network = nullptr;
    return network;
}
net::HttpClient*& benchDocuments() {
    static net::HttpClient* documents = nullptr;
    return documents;
}
}  // namespace

void useSimulatedMac(const fs::path& root) {
    const fs::path bundle = root / "usr/local/vantrel/Vantrel.app";
    if (!fs::exists(root / std::string(simmac::SimulatedMac::kMarkerFile)) ||
        !fs::exists(bundle / "Contents/Info.plist")) {
        throw std::runtime_error(root.string() + " is no simulated Mac made by vantrel-sim create");
    }
    // Never destroyed: the download driver ends the process from another thread.
    auto* mac =
        new simmac::SimulatedMac(platform::MacRoot(fs::canonical(root)), fs::canonical(bundle),
                                 (new platform::StandardProcessServices)->services());
    benchServices().emplace(mac->services());
    benchNetwork() = new net::NetworkPlugIn(mac->root(), fs::canonical(bundle));
    benchDocuments() =
        new net::HttpClient(*benchNetwork(), mac->services().machine.trustedCertificates());
    useLogSink(&mac->services().log);
    SharedData::shared().describeMachine(mac->services().machine);
}

const platform::Services& services() {
    return *benchServices();
}

net::NetworkPlugIn& network() {
    return *benchNetwork();
}

net::HttpClient& documents() {
    return *benchDocuments();
}

net::DownloadSession::Configuration downloadConfiguration() {
    net::DownloadSession::Configuration configuration;
    configuration.network = &network();
    configuration.root = services().root;
    configuration.trustedCertificates = services().machine.trustedCertificates();
    configuration.clock = &services().clock;
    return configuration;
}

std::vector<std::string> readLines(const fs::path& file) {
    std::ifstream in(file);
    if (!in) {
        throw std::runtime_error("cannot read " + file.string());
    }
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

DownloadList readDownloadList(const fs::path& file) {
    DownloadList list;
    for (const auto& line : readLines(file)) {
        std::istringstream fields(line);
        std::string url;
        net::ExpectedFile expected;
        std::int64_t size = -1;
        fields >> url;
        if (fields >> size) {
            expected.size = size;
            fields >> expected.digest;
        }
        list.urls.push_back(url);
        list.expected[url] = expected;
    }
    if (list.urls.empty()) {
        throw std::runtime_error("no URLs in " + file.string());
    }
    return list;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

CpuTime cpuTime() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return {seconds(usage.ru_utime), seconds(usage.ru_stime)};
}

long peakResidentBytes() {
    // VmHWM, not getrusage: Linux keeps ru_maxrss across fork and exec, so a driver started by
    // a large orchestrator would report the orchestrator's peak as its own.
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stol(line.substr(6)) * 1024L;
        }
    }
    return -1;
}

namespace {

std::string jsonNumber(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

std::string jsonText(const std::string& value) {
    std::string out = "\"";
    for (const char c : value) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.push_back(c);
        }
    }
    return out + "\"";
}

}  // namespace

Result& Result::number(const std::string& key, double value) {
    fields_.emplace_back(key, jsonNumber(value));
    return *this;
}

Result& Result::text(const std::string& key, const std::string& value) {
    fields_.emplace_back(key, jsonText(value));
    return *this;
}

Result& Result::numbers(const std::string& key, const std::vector<double>& values) {
    std::string list = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
            list.push_back(',');
        }
        list += jsonNumber(values[i]);
    }
    fields_.emplace_back(key, list + "]");
    return *this;
}

void Result::write(const fs::path& file) const {
    std::ostringstream out;
    out << "{";
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        out << (i ? ", " : "") << jsonText(fields_[i].first) << ": " << fields_[i].second;
    }
    out << "}\n";
    if (file.empty()) {
        std::fputs(out.str().c_str(), stderr);
        return;
    }
    std::ofstream(file, std::ios::trunc) << out.str();
}

}  // namespace vantrel::bench
