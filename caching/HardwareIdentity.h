#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Machine.h"

namespace vantrel {

// The three facts about the machine that decide whether an installer product runs on it.
struct HardwareIdentity {
    std::string boardID;  // "board-id" of the platform expert device
    std::string model;    // "compatible" of the platform expert device
    bool virtualMachine = false;
};

// One property of the platform expert device as text: its bytes decoded as UTF-8 with every
// ill-formed sequence replaced by U+FFFD, then every NUL removed (several NUL-separated names
// run together). A missing property gives the empty text, which no script contains.
std::string platformExpertProperty(const platform::Machine& machine, std::string_view name);
// Whether the processor's feature list ("machdep.cpu.features") holds the word "VMM". An
// unreadable list counts as no virtual machine.
bool isVirtualMachine(const platform::Machine& machine);

// The decoding rules on their own.
std::string propertyText(const std::vector<std::uint8_t>& bytes);
bool featuresNameVMM(std::string_view features);

// Board id, model and virtual-machine flag, read in that order.
HardwareIdentity readHardwareIdentity(const platform::Machine& machine);

}  // namespace vantrel
