#include "net/NetworkLibrary.h"

#include <mutex>

#include "platform/PlugIn.h"

namespace vantrel::net {

NetworkLibrary* networkLibrary(std::string* whyNot) {
    static NetworkLibrary* library = nullptr;  // kept until the process ends
    static std::string failure;
    static std::once_flag once;
    std::call_once(once, [] {
        auto* make = reinterpret_cast<MakeNetworkLibrary*>(
            platform::loadPlugIn(kNetworkPlugInFile, kMakeNetworkLibrarySymbol, failure));
        library = make ? make() : nullptr;
        if (make && !library) {
            failure = "the network library could not be initialised";
        }
    });
    if (!library && whyNot) {
        *whyNot = failure;
    }
    return library;
}

}  // namespace vantrel::net
