#include "ui/ViewController.h"

#include <utility>
#include <vector>

namespace vantrel {

namespace {

using E = ProgressElement;

// The entries of a report when every value is a number; none when any is absent, so that
// such a report is ignored whole.
std::optional<std::vector<std::pair<std::string, double>>> numericEntries(
    const ProgressReport& report) {
    std::vector<std::pair<std::string, double>> entries;
    entries.reserve(report.size());
    for (const auto& [key, value] : report) {
        if (!value) {
            return std::nullopt;
        }
        entries.emplace_back(key, *value);
    }
    return entries;
}

}  // namespace

ViewController::ViewController(ProgressView& view, const WindowServices& services)
    : view_(view), services_(services), alive_(std::make_shared<char>()) {}

ViewController::~ViewController() = default;

void ViewController::viewDidLoad() {
    const WindowServices& services = services_;
    auto& center = services.notifications;
    const std::weak_ptr<char> alive = alive_;
    // The observers may run on any thread and outlive the controller: they touch nothing of
    // it but queue work that runs on the main thread only while the controller lives.
    center.addObserver(
        notificationnames::willPresentChallenge(),
        [&services, this, alive](const Notification&) { queueChallenge(services, this, alive); });
    setStatus("Preparing macOS Installer...");
    center.addObserver(notificationnames::taskProgress(),
                       [&services, this, alive](const Notification& notification) {
                           queueProgress(services, this, alive, notification);
                       });
    center.addObserver(notificationnames::wonChallenge(),
                       [&services, this, alive](const Notification&) {
                           services.runOnMainQueue([this, alive] {
                               if (alive.lock()) {
                                   didWinChallenge();
                               }
                           });
                       });
    const auto& shared = services_.settings;
    view_.setImage(E::productIcon, shared.osNamed);
    if (!shared.osInstallerAppBundlePath && !shared.cache) {
        setStatus("Could not find a macOS Installer");
        view_.setHidden(E::problemReporter, false);
        view_.setHidden(E::quitButtonView, false);
        view_.setHidden(E::progressBar, true);  // nothing will run
        return;
    }
    view_.setBusy(true);
}

void ViewController::setStatus(const std::string& text) {
    status_ = text;
    view_.setText(E::statusText, text);
}

void ViewController::viewDidAppear() {
    view_.setHidden(E::quitButtonView, !services_.settings.showCancel);
}

void ViewController::willPostProgress(const Notification& notification) {
    queueProgress(services_, this, alive_, notification);
}

void ViewController::queueProgress(const WindowServices& services, ViewController* controller,
                                   const std::weak_ptr<char>& alive,
                                   const Notification& notification) {
    if (!notification.userInfo) {
        return;
    }
    auto entries = numericEntries(*notification.userInfo);
    if (!entries) {
        return;
    }
    for (auto& [key, value] : *entries) {
        services.runOnMainQueue([controller, alive, key = std::move(key), value] {
            if (alive.lock()) {
                controller->displayProgress(key, value);
            }
        });
    }
}

void ViewController::displayProgress(const std::string& key, double value) {
    const auto& shared = services_.settings;
    if (key == "Installer") {
        view_.setText(E::stepOfStep, "Step 2 of 3");
        setStatus("Moving macOS Installer into place...");
    }
    if (key == "Download") {
        view_.setText(E::stepOfStep, "Step 1 of 3");
        setStatus("Downloading macOS Installer...");
    }
    if (key == "InstallerFailed") {
        view_.setText(E::stepOfStep, "");
        setStatus("Error moving macOS Installer into place");
        view_.setHidden(E::progressBar, true);
        return;
    }
    if (key == "startosinstall") {
        const bool downloadedThisRun = shared.install && shared.cache && !shared.finishedCaching;
        view_.setText(E::stepOfStep, downloadedThisRun ? "Step 3 of 3" : "");
        if (shared.osWipe) {
            setStatus("Preparing to Erase All Content And Settings...");
            view_.setHidden(E::quitButtonView, false);
        } else {
            setStatus("Preparing macOS Installer...");
        }
    }
    if (value == -1.0) {  // exact: not-a-number is no error marker
        view_.setText(E::stepOfStep, "");
        setStatus(key);
        view_.setHidden(E::quitButtonView, false);
        view_.setHidden(E::problemReporter, false);
        if (!figureShown_) {
            view_.setBusy(false);  // refused: nothing runs any more
        }
        return;
    }
    figureShown_ = true;
    view_.setHidden(E::progressBar, false);
    view_.setProgress(value);
}

void ViewController::willPresentChallenge(const Notification&) {
    queueChallenge(services_, this, alive_);
}

void ViewController::queueChallenge(const WindowServices& services, ViewController* controller,
                                    const std::weak_ptr<char>& alive) {
    services.runOnMainQueue([controller, alive] {
        if (alive.lock()) {
            controller->presentChallenge();
        }
    });
}

void ViewController::presentChallenge() {
    // Nothing runs while the sheet waits for the code, and nothing is being prepared yet.
    const std::string before = status_;
    setStatus(kWaitingForConfirmation);
    status_ = before;
    waitingForConfirmation_ = true;
    if (!figureShown_) {
        view_.setBusy(false);
    }
    view_.presentSheet(kChallengeIdentifier);
    services_.logMain(platform::LogLevel::Default, "Waiting for the erase confirmation");
}

void ViewController::didWinChallenge() {
    if (!waitingForConfirmation_) {
        return;  // no sheet was shown: nothing to take back
    }
    waitingForConfirmation_ = false;
    setStatus(status_);
    if (!figureShown_) {
        view_.setBusy(true);
    }
}

void ViewController::quitButton() {
    services_.cancelAllDownloads();
    view_.closeWindow();
}

void ViewController::corvaneGo() {
    view_.openURL(kVendorSite);
}

}  // namespace vantrel
