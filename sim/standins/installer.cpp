// The stand-in for the Mac's package installer, /usr/sbin/installer:
//
//   installer -pkg PATH.dist -target / [-verboseR]
//
// Reads the distribution file, checks that every package it names lies beside it with the
// recorded size and SHA-256, and unpacks them into the simulated Mac, which leaves
// "/Applications/Install macOS <name>.app". Progress goes to standard output as
// "installer:%<percent>" lines, each reaching the reader on its own, as the real tool's
// machine-readable mode does; any failure ends with a line holding "failed" and status 1.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "platform/MacRoot.h"
#include "platform/simmac/SimulatedMac.h"
#include "sim/lib/PackageInstall.h"
#include "sim/lib/ReaderPace.h"

namespace {

using Clock = std::chrono::steady_clock;

// Writes each line with one write(2), so a reader never gets half a line, once the reader has
// taken the line before, so that two progress lines do not arrive as one read.
class Output {
  public:
    void line(std::string_view text) {
        vantrel::sim::waitUntilReaderTookAll(STDOUT_FILENO);
        std::string bytes(text);
        bytes.push_back('\n');
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
    }

    // Every milestone; between them at most every 1% and every 200 ms.
    void progress(double percent, bool milestone) {
        const auto now = Clock::now();
        const bool due =
            percent - lastPercent_ >= 1.0 && now - lastProgress_ >= std::chrono::milliseconds(200);
        if (!milestone && !due) {
            return;
        }
        char text[32];
        std::snprintf(text, sizeof(text), "installer:%%%.1f", percent);
        if (text == lastText_) {
            return;
        }
        line(text);
        lastText_ = text;
        lastPercent_ = percent;
        lastProgress_ = Clock::now();
    }

  private:
    Clock::time_point lastProgress_{};
    double lastPercent_ = -1.0;
    std::string lastText_;
};

int failed(Output& out, const std::string& reason) {
    out.line("installer: The install failed. (" + reason + ")");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    Output out;
    std::optional<std::string> package;
    std::optional<std::string> target;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if ((argument == "-pkg" || argument == "-package") && i + 1 < argc) {
            package = argv[++i];
        } else if ((argument == "-target" || argument == "-tgt") && i + 1 < argc) {
            target = argv[++i];
        } else if (argument == "-verboseR" || argument == "-verbose") {
            // Progress lines are always written.
        } else {
            std::fprintf(stderr, "usage: installer -pkg <path> -target <device> [-verboseR]\n");
            return failed(out, "Unknown argument: " + std::string(argument));
        }
    }
    if (!package || !target) {
        std::fprintf(stderr, "usage: installer -pkg <path> -target <device> [-verboseR]\n");
        return failed(out, "Both -pkg and -target are required");
    }
    const auto mac = vantrel::simmac::SimulatedMac::discoverForThisProcess();
    if (!mac) {
        return failed(out, "This installer is not inside a simulated Mac");
    }
    // Absolute paths are the Mac's; a relative one is taken from the working folder.
    const auto hostPath = [&](const std::string& path) {
        return !path.empty() && path.front() == '/' ? mac->host(path)
                                                    : std::filesystem::absolute(path);
    };
    const std::filesystem::path distribution = hostPath(*package);
    const std::filesystem::path root = hostPath(*target);

    try {
        const auto plan = vantrel::sim::readDistributionPlan(distribution);
        out.line("installer: Package name is " +
                 (plan.title.empty() ? distribution.stem().string() : plan.title));
        out.line("installer: Installing at base path " + *target);
        vantrel::sim::installDistribution(
            distribution, root,
            {[&](double percent, bool milestone) { out.progress(percent, milestone); },
             [&](std::string_view status) { out.line(status); }});
    } catch (const std::exception& error) {
        return failed(out, error.what());
    }
    out.line("installer:PHASE:Finishing the Installation");
    out.line("installer: The install was successful.");
    return 0;
}
