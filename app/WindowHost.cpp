#include "app/WindowHost.h"

#include <dlfcn.h>

#include "app/Logging.h"
#include "platform/Host.h"

namespace vantrel {

std::unique_ptr<WindowHost> loadWindowHost() {
    const auto plugin = platform::appBundle() / "Contents" / "PlugIns" / "libvantrel-window.so";
    void* handle = ::dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* reason = ::dlerror();
        mainLog().error("%{public}s", reason ? reason : "the window plug-in could not be loaded");
        return nullptr;
    }
    auto* make = reinterpret_cast<MakeWindowHost*>(::dlsym(handle, kMakeWindowHostSymbol));
    if (!make) {
        mainLog().error("%{public}s", "the window plug-in has no entry point");
        return nullptr;
    }
    return std::unique_ptr<WindowHost>(make());  // the plug-in stays loaded for good
}

}  // namespace vantrel
