#pragma once

#include <memory>

#include "base/WindowHost.h"

namespace vantrel {

// The services of this process that the window uses: its settings, notification centre,
// "main" log, main queue, download session, URL opener, process end and bundle resources.
WindowServices processWindowServices();

// The plug-in's window host, made with `services`, or null when the plug-in is not in the
// bundle or cannot load (the reason is written to the log).
std::unique_ptr<WindowHost> loadWindowHost(const WindowServices& services);

}  // namespace vantrel
