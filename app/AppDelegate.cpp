#include "app/AppDelegate.h"

#include <filesystem>

#include "base/CleanUp.h"
#include "base/Logging.h"
#include "base/Notifications.h"
#include "base/SharedData.h"
#include "install/StartOSInstall.h"
#include "platform/Files.h"
#include "platform/Machine.h"
#include "platform/RootFolder.h"

namespace vantrel {

namespace {

// Root runs the working directory's contents (the installer's startosinstall); a folder that
// other users could write would let any of them become root. Hence 0755, never 0777.
constexpr mode_t kWorkingDirMode = 0755;

// Makes the working directory root's. One that cannot be created is no reason to stop (the
// placement reports its failed move), nor is a plain file where it should be (nothing can be
// run from it); a link there could lead root into another user's folder, and a folder that
// cannot be made root's could be changed under root, so those end the run. False then.
bool prepareWorkingDirectory(const platform::Services& services, const std::string& workingDir) {
    const auto state = platform::makeRootFolder(services.root, workingDir, kWorkingDirMode);
    if (state.kind != platform::RootFolderState::Refused) {
        return true;
    }
    services.console.printLine("Refusing to run: " + state.reason + ".");
    mainLog().error("%{public}s", state.reason);
    return false;
}

// Downloads run under the network policy's own limits, trusting the Mac's certificates only.
net::DownloadSession::Configuration downloadConfiguration(const platform::Services& services,
                                                          net::NetworkPlugIn& network) {
    net::DownloadSession::Configuration configuration;
    configuration.network = &network;
    configuration.root = services.root;
    configuration.trustedCertificates = services.machine.trustedCertificates();
    configuration.clock = &services.clock;
    return configuration;
}

void postChallengeHandOff() {
    NotificationCenter::defaultCenter().post(SharedData::shared().presentChallenge
                                                 ? notificationnames::willPresentChallenge()
                                                 : notificationnames::wonChallenge());
}

}  // namespace

AppDelegate::AppDelegate(const platform::Services& services, net::NetworkPlugIn& network)
    : services(services),
      downloads(services, downloadConfiguration(services, network)),
      cacher(std::make_unique<CacheOSInstaller>(services, network, downloads)),
      args(services.console) {
    NotificationCenter::defaultCenter().addObserver(
        notificationnames::downloadsDone(),
        [installer = cacher.get()](const Notification&) { installer->installProduct(); });
}

void AppDelegate::applicationWillFinishLaunching(const std::vector<std::string>& arguments) {
    startRun(arguments);
}

void AppDelegate::startRun(const std::vector<std::string>& arguments) {
    mainLog().notice("Vantrel launched");
    NotificationCenter::defaultCenter().addObserver(
        notificationnames::wonChallenge(), [this](const Notification&) { didWinChallenge(); });

    if (!args.parseArguments(arguments)) {
        services.console.exitProcess(0);
    }
    if (services.machine.currentUserName() != "root") {
        services.console.printLine("Requires sudo, exiting.");
        services.console.exitProcess(0);
    }
    auto& shared = SharedData::shared();
    if (!services.machine.consoleUser()) {
        mainLog().debug("No user logged in, disabling GUI until we can figure out AuthBundle");
        shared.hasGUI = false;
        shared.presentChallenge = false;
    }
    if (!prepareWorkingDirectory(services, shared.workingDir)) {
        services.console.exitProcess(3);
    }
    std::vector<platform::SkippedApplication> skipped;
    shared.osInstallerAppBundlePath = services.applications.applicationPathForBundleIdentifier(
        "com.apple.InstallAssistant." + shared.osNamed, shared.workingDir, &skipped);
    for (const auto& application : skipped) {
        mainLog().error("%{public}s", "Not using " + application.path + ": " + application.reason);
    }

    if (shared.checkStatus) {
        services.console.printLine(shared.osInstallerAppBundlePath ? "true" : "false");
        services.console.exitProcess(0);
    }
    if (shared.hasGUI) {
        showMainWindow();
    }
    if (shared.osInstallerAppBundlePath) {
        const auto parent =
            std::filesystem::path(*shared.osInstallerAppBundlePath).parent_path().string();
        if (shared.fileAway && parent == "/Applications" && !cacher->placeInstaller()) {
            return;
        }
        if (shared.cache) {
            cacher->cacheOS();
            return;
        }
        if (shared.install) {
            postChallengeHandOff();
            return;
        }
        services.console.exitProcess(0);
    }
    if (shared.cache) {
        cacher->cacheOS();
        return;
    }
    if (!shared.hasGUI) {
        services.console.printLine("No OS found, exiting.");
        mainLog().error("No OS found, exiting");
        services.console.exitProcess(0);
    }
    // The window shows that no installer was found; the run ends when it is closed.
}

void AppDelegate::showMainWindow() {
    mainStoryboard = loadWindowHost(services, processWindowServices(services, [this] {
                                        downloads.delegate().cancelAllTasks();
                                    }));
    if (!mainStoryboard) {
        // Without the window the run goes on headless rather than not at all.
        auto& shared = SharedData::shared();
        shared.hasGUI = false;
        shared.presentChallenge = false;
        return;
    }
    mainStoryboard->showMainWindow();
    // Someone is at the console but no display can be reached: a code nobody can see would
    // be waited for forever, and erasing without it is what the code is there to prevent.
    if (SharedData::shared().presentChallenge && !mainStoryboard->reachesADisplay()) {
        services.console.printLine("The erase confirmation cannot be shown: no display");
        mainLog().error("The erase confirmation cannot be shown: no display");
        services.console.exitProcess(3);
    }
}

void AppDelegate::run() {
    if (mainStoryboard) {
        mainStoryboard->runEventLoop([this] { applicationWillTerminate(); });
    }
    services.mainQueue.runLoop();
}

void AppDelegate::didWinChallenge() {
    startOSInstall::runOSInstall(services);
}

void AppDelegate::applicationWillTerminate() {
    CleanUp::unmountInstallerVolumes(services.volumes);
}

}  // namespace vantrel
