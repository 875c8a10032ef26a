#pragma once

#include <memory>

#include "base/WindowHost.h"

namespace vantrel {

// The window host on Qt Widgets; it keeps a copy of `services`.
std::unique_ptr<WindowHost> makeQtWindowHost(const WindowServices& services);

}  // namespace vantrel
