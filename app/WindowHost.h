#pragma once

#include <memory>

#include "base/WindowHost.h"
#include "platform/Services.h"

namespace vantrel {

// The services of this process that the window uses: its settings, notification centre,
// "main" log, main queue, URL opener, process end and bundle resources on the Mac of
// `platform`, and `cancelAllDownloads` for the quit button.
WindowServices processWindowServices(const platform::Services& platform,
                                     std::function<void()> cancelAllDownloads);

// The plug-in of the bundle of `platform`, its window host made with `services`, or null when
// the plug-in is not in the bundle or cannot load (the reason is written to the log).
std::unique_ptr<WindowHost> loadWindowHost(const platform::Services& platform,
                                           const WindowServices& services);

}  // namespace vantrel
