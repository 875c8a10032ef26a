#pragma once

#include <functional>
#include <memory>

#include "platform/Services.h"

namespace vantrel {

// The seam between the launch flow and the progress window. The window lives in a plug-in
// inside the application bundle that is loaded only when a window is to be shown, so runs
// without a window never load or start the toolkit.
class WindowHost {
  public:
    virtual ~WindowHost() = default;

    // Loads the progress window, puts it above normal windows, shows it and brings the
    // application to the front. From then on the main queue runs inside the toolkit's loop.
    virtual void showMainWindow() = 0;
    // After showMainWindow: whether the window is on a display someone can see, rather than
    // on the offscreen stand-in the toolkit falls back to when no display can be reached.
    virtual bool reachesADisplay() const = 0;
    // Runs the toolkit's event loop on the main thread until the process ends. When the last
    // window closes, `willTerminate` runs and the process ends with status 0.
    [[noreturn]] virtual void runEventLoop(std::function<void()> willTerminate) = 0;
};

// The plug-in's window host, or null when the plug-in is not in the bundle or cannot load
// (the reason is written to the log).
std::unique_ptr<WindowHost> loadWindowHost(const platform::Services& services,
                                           std::function<void()> cancelDownloads);

// The symbol the plug-in exports: creates its host.
extern "C" using MakeWindowHost = WindowHost*(const platform::Services* services,
                                              std::function<void()> cancelDownloads);
inline constexpr const char* kMakeWindowHostSymbol = "vantrelMakeWindowHost";

}  // namespace vantrel
