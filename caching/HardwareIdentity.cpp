#include "caching/HardwareIdentity.h"

#include <algorithm>

#include "base/ToolOutput.h"
#include "platform/Machine.h"

namespace vantrel {

std::string propertyText(const std::vector<std::uint8_t>& bytes) {
    std::string text = decodeUtf8Leniently(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
    return text;
}

bool featuresNameVMM(std::string_view features) {
    features = features.substr(0, features.find('\0'));
    std::size_t start = 0;
    while (start <= features.size()) {
        const std::size_t blank = features.find(' ', start);
        const std::size_t end = blank == std::string_view::npos ? features.size() : blank;
        if (features.substr(start, end - start) == "VMM") {
            return true;
        }
        if (blank == std::string_view::npos) {
            break;
        }
        start = blank + 1;
    }
    return false;
}

std::string platformExpertProperty(std::string_view name) {
    return propertyText(platform::platformExpertProperty(name));
}

bool isVirtualMachine() {
    return featuresNameVMM(platform::sysctlValue("machdep.cpu.features"));
}

HardwareIdentity readHardwareIdentity() {
    HardwareIdentity identity;
    identity.boardID = platformExpertProperty("board-id");
    identity.model = platformExpertProperty("compatible");
    identity.virtualMachine = isVirtualMachine();
    return identity;
}

}  // namespace vantrel
