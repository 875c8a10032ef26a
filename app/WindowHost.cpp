#include "app/WindowHost.h"

#include "base/Logging.h"
#include "caching/SessionRequestManager.h"
#include "platform/Console.h"
#include "platform/Host.h"
#include "platform/Machine.h"
#include "platform/OpenURL.h"
#include "platform/PlugIn.h"
#include "platform/Queues.h"

namespace vantrel {

WindowServices processWindowServices() {
    return WindowServices{
        .settings = SharedData::shared(),
        .notifications = NotificationCenter::defaultCenter(),
        // The message is already whole: it goes in as a format with nothing to fill in.
        .logMain = [](platform::LogLevel level,
                      std::string_view message) { mainLog().log(level, message); },
        .runOnMainQueue =
            [](std::function<void()> work) { platform::mainqueue::async(std::move(work)); },
        .handMainQueueTo =
            [](std::function<void(std::function<void()>)> dispatcher) {
                platform::mainqueue::setDispatcher(std::move(dispatcher));
            },
        .serveMainQueue = [] { platform::mainqueue::runMainLoop(); },
        .cancelAllDownloads = [] { SessionRequestManager::shared().delegate().cancelAllTasks(); },
        .openURLAsConsoleUser =
            [](const std::string& address) { return platform::openURLAsConsoleUser(address); },
        .exitProcess = [](int status) { platform::exitProcess(status); },
        .resourcesFolder = platform::macConfigured()
                               ? platform::appBundle() / "Contents" / "Resources"
                               : std::filesystem::path(),
        .temporaryFolder = platform::macConfigured()
                               ? platform::mac().host(platform::temporaryDirectory())
                               : std::filesystem::path(),
    };
}

std::unique_ptr<WindowHost> loadWindowHost(const WindowServices& services) {
    std::string whyNot;
    auto* make = reinterpret_cast<MakeWindowHost*>(
        platform::loadPlugIn(kWindowPlugInFile, kMakeWindowHostSymbol, whyNot));
    if (!make) {
        mainLog().error("%{public}s", whyNot);
        return nullptr;
    }
    return std::unique_ptr<WindowHost>(make(services));
}

}  // namespace vantrel
