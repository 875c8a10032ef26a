#pragma once

#include <functional>
#include <memory>
#include <string>

#include "base/Notifications.h"
#include "base/WindowHost.h"
#include "ui/ProgressView.h"

namespace vantrel {

// Drives the progress window: turns each "taskProgress" report into changes of the window by
// a fixed table, presents the erase confirmation on "willPresentChallenge", and handles the
// quit and logo buttons. It does no work itself.
//
// The window owns its controller. Notification observers are never removed; the work they
// queue for the main thread is dropped once the controller is gone. Everything of the
// program it uses comes through `services`, which outlive it.
class ViewController {
  public:
    ViewController(ProgressView& view, const WindowServices& services);
    ~ViewController();
    ViewController(const ViewController&) = delete;
    ViewController& operator=(const ViewController&) = delete;

    // Set-up when the window's content is loaded: subscriptions, first texts, the picture.
    void viewDidLoad();
    // When the window is on screen: decides the quit button's visibility from then on.
    void viewDidAppear();
    // Observer of "taskProgress"; may run on any thread, only queues work for the main thread.
    void willPostProgress(const Notification& notification);
    // Observer of "willPresentChallenge"; may run on any thread.
    void willPresentChallenge(const Notification& notification);
    // Observer of "wonChallenge" (main thread): the erase is confirmed and work runs again.
    void didWinChallenge();
    void quitButton();
    void corvaneGo();

    // One entry of a report, on the main thread.
    void displayProgress(const std::string& key, double value);

    static constexpr const char* kVendorSite = "https://www.corvane.com";
    static constexpr const char* kChallengeIdentifier = "verifyVCSheet";
    static constexpr const char* kWaitingForConfirmation = "Waiting for the erase confirmation...";

  private:
    // May run after the controller is gone: they reach it only through `alive`.
    static void queueProgress(const WindowServices& services, ViewController* controller,
                              const std::weak_ptr<char>& alive, const Notification& notification);
    static void queueChallenge(const WindowServices& services, ViewController* controller,
                               const std::weak_ptr<char>& alive);
    void presentChallenge();
    void setStatus(const std::string& text);

    ProgressView& view_;
    const WindowServices& services_;
    // The bar is animated only while work runs and no figure has come yet; the status the
    // sheet replaced comes back when the erase is confirmed.
    bool figureShown_ = false;
    bool waitingForConfirmation_ = false;
    std::string status_;
    // Owned here and checked on the main thread only: queued work runs only while it lives.
    std::shared_ptr<char> alive_;
};

}  // namespace vantrel
