#include "net/NetworkLibrary.h"

#include "platform/PlugIn.h"

namespace vantrel::net {

NetworkPlugIn::NetworkPlugIn(const platform::MacRoot& root, std::filesystem::path appBundle)
    : root_(root), appBundle_(std::move(appBundle)) {}

NetworkLibrary* NetworkPlugIn::library(std::string* whyNot) {
    std::call_once(once_, [this] {
        auto* make = reinterpret_cast<MakeNetworkLibrary*>(platform::loadPlugIn(
            root_, appBundle_, kNetworkPlugInFile, kMakeNetworkLibrarySymbol, failure_));
        library_.reset(make ? make() : nullptr);
        if (make && !library_) {
            failure_ = "the network library could not be initialised";
        }
    });
    if (!library_ && whyNot) {
        *whyNot = failure_;
    }
    return library_.get();
}

}  // namespace vantrel::net
