// vantrel-bench: runs one phase of the program on a simulated Mac and writes what it measured
// as one JSON line. bench/run.sh drives it; the README's Performance section tells how.

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <exception>

#include "bench/DriverModes.h"

using namespace vantrel::bench;

int main(int argc, char** argv) {
    CLI::App app{"Runs one phase of Vantrel on a simulated Mac and writes its measurements."};
    app.require_subcommand(1);

    DownloadOptions download;
    long timeoutSeconds = 600;
    const auto addDownloadOptions = [&](CLI::App* command) {
        command->add_option("--mac", download.mac, "Simulated Mac folder")->required();
        command->add_option("--urls", download.urls, "File of URLs, one a line")->required();
        command->add_option("--result", download.result, "JSON result file")->required();
        command->add_option("--timeout", timeoutSeconds, "Give up after this many seconds");
    };
    auto* downloadCommand =
        app.add_subcommand("download", "SessionRequestManager::downloadPackages until done");
    addDownloadOptions(downloadCommand);
    auto* progressCommand =
        app.add_subcommand("progress", "Progress reports of each transfer of a session");
    addDownloadOptions(progressCommand);

    RepeatOptions repeat;
    const auto addRepeatOptions = [&](CLI::App* command) {
        command->add_option("--mac", repeat.mac, "Simulated Mac folder")->required();
        command->add_option("--result", repeat.result, "JSON result file")->required();
        command->add_option("--repeat", repeat.repeat, "Repetitions (the median is reported)")
            ->check(CLI::PositiveNumber);
    };
    auto* catalogCommand =
        app.add_subcommand("catalog", "fetchInstallerProducts: fetch, parse and filter");
    addRepeatOptions(catalogCommand);
    auto* selectCommand = app.add_subcommand("select", "selectProductURLs over the candidates");
    addRepeatOptions(selectCommand);
    selectCommand->add_option("--osname", repeat.osName, "Release asked for");
    selectCommand->add_option("--urls-out", repeat.urlsOut, "Write the fetched URLs here");

    CLI11_PARSE(app, argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    download.timeout = std::chrono::seconds(timeoutSeconds);
    try {
        if (downloadCommand->parsed()) {
            runDownload(download);
        }
        if (progressCommand->parsed()) {
            return runProgress(download);
        }
        if (catalogCommand->parsed()) {
            return runCatalog(repeat);
        }
        return runSelection(repeat);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vantrel-bench: %s\n", error.what());
        return 1;
    }
}
