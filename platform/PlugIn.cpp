#include "platform/PlugIn.h"

#include <dlfcn.h>
#include <unistd.h>

#include "platform/TrustedPath.h"

namespace vantrel::platform {

void* loadPlugIn(const MacRoot& root, const std::filesystem::path& appBundle,
                 const std::string& fileName, const char* symbol, std::string& whyNot) {
    const auto file = appBundle / "Contents" / "PlugIns" / fileName;
    if (::geteuid() == 0) {
        const std::string macPath = root.mac(file);
        // root.mac() answers a path outside the Mac unchanged; the rule is about the Mac's folders.
        if (macPath == file.string() && root.hostRoot() != "/") {
            whyNot = file.string() + " is outside the Mac";
            return nullptr;
        }
        if (auto reason = whyNotRootOnly(root, macPath)) {
            whyNot = "the plug-in " + fileName + " is not root's: " + *reason;
            return nullptr;
        }
    }
    void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* reason = ::dlerror();
        whyNot = reason ? reason : fileName + " could not be loaded";
        return nullptr;
    }
    void* entry = ::dlsym(handle, symbol);
    if (!entry) {
        whyNot = fileName + " has no entry point " + symbol;
    }
    return entry;
}

}  // namespace vantrel::platform
