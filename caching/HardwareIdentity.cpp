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

std::string platformExpertProperty(const platform::Machine& machine, std::string_view name) {
    return propertyText(machine.platformExpertProperty(name));
}

bool isVirtualMachine(const platform::Machine& machine) {
    return featuresNameVMM(machine.sysctlValue("machdep.cpu.features"));
}

HardwareIdentity readHardwareIdentity(const platform::Machine& machine) {
    HardwareIdentity identity;
    identity.boardID = platformExpertProperty(machine, "board-id");
    identity.model = platformExpertProperty(machine, "compatible");
    identity.virtualMachine = isVirtualMachine(machine);
    return identity;
}

}  // namespace vantrel
