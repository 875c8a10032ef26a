#include "app/WindowHost.h"

#include "base/Logging.h"
#include "platform/OpenURL.h"
#include "platform/PlugIn.h"

namespace vantrel {

WindowServices processWindowServices(const platform::Services& platform,
                                     std::function<void()> cancelAllDownloads) {
    return WindowServices{
        .settings = SharedData::shared(),
        .notifications = NotificationCenter::defaultCenter(),
        // The message is already whole: it goes in as a format with nothing to fill in.
        .logMain = [](platform::LogLevel level,
                      std::string_view message) { mainLog().log(level, message); },
        .runOnMainQueue = [&queue = platform.mainQueue](
                              std::function<void()> work) { queue.async(std::move(work)); },
        .handMainQueueTo =
            [&queue = platform.mainQueue](std::function<void(std::function<void()>)> dispatcher) {
                queue.setDispatcher(std::move(dispatcher));
            },
        .serveMainQueue = [&queue = platform.mainQueue] { queue.runLoop(); },
        .cancelAllDownloads = std::move(cancelAllDownloads),
        .openURLAsConsoleUser =
            [platform](const std::string& address) {
                return platform::openURLAsConsoleUser(platform.root, platform.machine, address);
            },
        .exitProcess = [&console = platform.console](int status) { console.exitProcess(status); },
        .resourcesFolder = platform.appBundle / "Contents" / "Resources",
        .temporaryFolder = platform.root.host(platform.machine.temporaryDirectory()),
    };
}

std::unique_ptr<WindowHost> loadWindowHost(const platform::Services& platform,
                                           const WindowServices& services) {
    std::string whyNot;
    auto* make = reinterpret_cast<MakeWindowHost*>(platform::loadPlugIn(
        platform.root, platform.appBundle, kWindowPlugInFile, kMakeWindowHostSymbol, whyNot));
    if (!make) {
        mainLog().error("%{public}s", whyNot);
        return nullptr;
    }
    return std::unique_ptr<WindowHost>(make(services));
}

}  // namespace vantrel
