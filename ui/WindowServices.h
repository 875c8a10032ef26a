#pragma once

#include <functional>

#include "platform/Services.h"

namespace vantrel {

// What the window takes from the run that shows it, handed over once by the window host.
struct WindowServices {
    const platform::Services* platform = nullptr;
    std::function<void()> cancelDownloads;
};

// The window's services; empty until the host has set them.
const WindowServices& windowServices();
void useWindowServices(WindowServices services);

}  // namespace vantrel
