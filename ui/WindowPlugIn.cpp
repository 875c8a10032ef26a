// The window plug-in's one exported symbol. Everything the window uses of the program comes
// in through `services`; the plug-in takes nothing from the executable.
#include <type_traits>

#include "base/WindowHost.h"
#include "ui/QtWindowHost.h"

extern "C" __attribute__((visibility("default"))) vantrel::WindowHost* vantrelMakeWindowHost(
    const vantrel::WindowServices& services) {
    return vantrel::makeQtWindowHost(services).release();
}

static_assert(std::is_same_v<decltype(vantrelMakeWindowHost), vantrel::MakeWindowHost>,
              "the loader calls the factory through MakeWindowHost");
