#include "install/StartOSInstall.h"

#include <unistd.h>

#include <memory>

#include "base/InstallerLock.h"
#include "base/Logging.h"
#include "base/Notifications.h"
#include "base/SharedData.h"
#include "base/ToolOutput.h"
#include "platform/TrustedPath.h"

namespace vantrel {

namespace {

constexpr const char* kPreparingMarker = "Preparing: ";
constexpr const char* kErrorMarker = "Error: ";

// A headless run has nobody to close a window, so every ending of the runner other than the
// machine restarting ends the process, with status 3 for a failure.
void endHeadlessRun(const platform::Services& services, const std::string& line) {
    if (SharedData::shared().hasGUI) {
        return;
    }
    services.mainQueue.async([&console = services.console, line] {
        console.printLine(line);
        console.exitProcess(3);
    });
}

void reportLaunchFailure(platform::Console& console, const std::string& description) {
    console.printLine("error running command");
    console.printLine(description);
    startosinstallLog().error("%{public}s", description);
}

// The installation must not start: the line for the operator and the log, the window's
// error, and the end of a headless run.
void refuseToRun(const platform::Services& services, const std::string& line) {
    startosinstallLog().error("%{public}s", line);
    NotificationCenter::defaultCenter().post(notificationnames::taskProgress(),
                                             progressReport(line, -1.0));
    endHeadlessRun(services, line);
}

}  // namespace

std::vector<std::string> startOSInstall::installArguments(bool osWipe, bool forceQuitApps,
                                                          long pid) {
    std::vector<std::string> arguments{"--agreetolicense"};
    if (osWipe) {
        arguments.emplace_back("--erase");
        if (forceQuitApps) {
            arguments.emplace_back("--forcequitapps");
        }
    }
    arguments.emplace_back("--pidtosignal");
    arguments.emplace_back(std::to_string(pid));
    return arguments;
}

platform::ProcessSpec startOSInstall::processSpec(const std::string& installerPath, bool osWipe,
                                                  bool forceQuitApps, long pid) {
    platform::ProcessSpec spec;
    spec.executable = installerPath + "/Contents/Resources/startosinstall";
    spec.arguments = installArguments(osWipe, forceQuitApps, pid);
    spec.environment = std::vector<std::pair<std::string, std::string>>{{"NSUnbufferedIO", "YES"}};
    return spec;
}

void startOSInstall::runOSInstall(const platform::Services& services) {
    startosinstallLog().notice("Starting osinstall");
    const auto& shared = SharedData::shared();
    if (!shared.osInstallerAppBundlePath) {
        // Nothing to run: never launch a tool from a made-up path.
        services.mainQueue.async([&console = services.console] {
            reportLaunchFailure(console,
                                "No macOS Installer was found to run startosinstall from.");
        });
        endHeadlessRun(services, "startosinstall was not run");
        return;
    }
    // Checked again at the last moment: root runs this tool, whatever path led here.
    if (const auto reason =
            platform::whyNotRootOnlyApplication(services.root, *shared.osInstallerAppBundlePath)) {
        refuseToRun(services, "startosinstall was not run: " + *reason);
        return;
    }
    // Held while the tool runs, so no caching run replaces the installer under it.
    if (const auto refusal = installerlock::holdForInstallation(services)) {
        refuseToRun(services, *refusal);
        return;
    }
    auto spec = processSpec(*shared.osInstallerAppBundlePath, shared.osWipe, shared.forceQuitApps,
                            static_cast<long>(::getpid()));
    services.backgroundQueue.async([services, spec = std::move(spec)]() mutable {
        launchOSInstall(services, std::move(spec));
    });
}

void startOSInstall::launchOSInstall(const platform::Services& services,
                                     platform::ProcessSpec spec) {
    ChunkDecoder outputDecoder;
    ChunkDecoder errorDecoder;
    int status = 0;
    const auto error = platform::runWithPipes(
        services.root, spec,
        [&](std::string_view chunk) {
            services.mainQueue.async(
                [text = outputDecoder.decode(chunk)] { handleInstallOutput(text); });
        },
        [&](std::string_view chunk) {
            services.mainQueue.async(
                [text = errorDecoder.decode(chunk)] { handleInstallErrors(text); });
        },
        &status);
    installerlock::releaseAfterInstallation(services);
    if (error) {
        reportLaunchFailure(services.console, error->description);
        endHeadlessRun(services, "startosinstall could not be started");
        return;
    }
    // What was carried over at the end of each stream, as it is.
    services.mainQueue.async([text = outputDecoder.finish()] { handleInstallOutput(text); });
    services.mainQueue.async([text = errorDecoder.finish()] { handleInstallErrors(text); });
    // The tool signals this process when the machine is about to restart; ending on its own
    // means it did not get there.
    endHeadlessRun(services, "startosinstall ended with status " + std::to_string(status) +
                                 " without restarting the machine");
}

void startOSInstall::handleInstallOutput(const std::string& text) {
    if (!textContains(text, kPreparingMarker)) {
        return;
    }
    std::string left = trimmedText(text);
    left = removingAll(left, kPreparingMarker);
    left = removingAll(left, "%");
    const auto number = decimalValue(left);
    if (!number) {
        return;  // not a number: no progress for this chunk
    }
    startosinstallLog().debug("Preparing: %f", *number);
    NotificationCenter::defaultCenter().post(notificationnames::taskProgress(),
                                             progressReport("startosinstall", *number));
}

void startOSInstall::handleInstallErrors(const std::string& text) {
    if (!textContains(text, kErrorMarker)) {
        return;
    }
    const std::string message = removingAll(text, kErrorMarker);
    NotificationCenter::defaultCenter().post(notificationnames::taskProgress(),
                                             progressReport(message, -1.0));
}

}  // namespace vantrel
