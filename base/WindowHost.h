#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/Notifications.h"
#include "base/SharedData.h"
#include "platform/Log.h"

namespace vantrel {

// What the window needs of the program, handed to the window plug-in when it is made. Each
// member reaches the ONE instance the executable owns: the plug-in links no copy of the
// program's settings, centre, logs or queues of its own, and calls nothing else of the
// executable. Whoever makes a host keeps these alive for as long as the process runs.
struct WindowServices {
    // The run settings; read on the main thread only, never written by the window.
    const SharedData& settings;
    // The process's notification centre ("taskProgress", "willPresentChallenge", ...).
    NotificationCenter& notifications;
    // Writes a fixed message, its arguments already filled in, to the "main" log category.
    std::function<void(platform::LogLevel, std::string_view message)> logMain;
    // The main queue: queues work for the main thread, in order, from any thread.
    std::function<void(std::function<void()>)> runOnMainQueue;
    // Hands the main queue's queued and future work to the toolkit's loop, in order.
    std::function<void(std::function<void(std::function<void()>)>)> handMainQueueTo;
    // Serves the main queue in a plain loop on the calling thread; never returns.
    std::function<void()> serveMainQueue;
    // Cancels every pending download of the download session; any thread.
    std::function<void()> cancelAllDownloads;
    // Opens a web address as the console user; answers why nothing was opened.
    std::function<std::optional<std::string>(const std::string& address)> openURLAsConsoleUser;
    // Ends the process at once with a status, as the program ends itself; never returns.
    std::function<void(int status)> exitProcess;
    // Host path of the application bundle's Contents/Resources (the window's pictures).
    std::filesystem::path resourcesFolder;
    // Host path of the Mac's temporary folder for this user (root's alone, mode 0700).
    std::filesystem::path temporaryFolder;
};

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

// The symbol the plug-in exports: makes its host, which keeps a copy of `services`.
extern "C" using MakeWindowHost = WindowHost * (const WindowServices& services);
inline constexpr const char* kMakeWindowHostSymbol = "vantrelMakeWindowHost";
inline constexpr const char* kWindowPlugInFile = "libvantrel-window.so";

}  // namespace vantrel
