#include "app/WindowHost.h"

#include "base/Logging.h"
#include "platform/PlugIn.h"

namespace vantrel {

std::unique_ptr<WindowHost> loadWindowHost(const platform::Services& services,
                                           std::function<void()> cancelDownloads) {
    std::string whyNot;
    auto* make = reinterpret_cast<MakeWindowHost*>(
        platform::loadPlugIn(services.root, services.appBundle, "libvantrel-window.so", kMakeWindowHostSymbol, whyNot));
    if (!make) {
        mainLog().error("%{public}s", whyNot);
        return nullptr;
    }
    return std::unique_ptr<WindowHost>(make(&services, std::move(cancelDownloads)));
}

}  // namespace vantrel
