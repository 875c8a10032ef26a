#pragma once

// What every harness shares: a throw-away simulated Mac for the code that logs (its log file
// is /dev/null, so long runs fill no disk), standard output sent to /dev/null, and a way to
// cut one input into several documents.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/NetworkLibrary.h"
#include "platform/Services.h"

#include "plist/Plist.h"

namespace vantrel::fuzz {

// Aborts when a tree the program was given nests deeper or holds more values than the
// property-list bounds allow: a document that should have been refused was read.
void expectWithinPlistLimits(plist_t tree);

// Makes the process run on a fresh simulated Mac in a temporary folder (removed at exit) and
// silences standard output. Idempotent.
void prepareProcess();
// The network plug-in of the process's simulated Mac (after prepareProcess).
net::NetworkPlugIn& network();
// The services of the process's simulated Mac, its standard output silenced (after
// prepareProcess).
const platform::Services& services();

// `data` cut at every occurrence of `separator`; empty pieces kept.
std::vector<std::string> splitInput(std::string_view data, std::string_view separator);

inline std::string_view asText(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

}  // namespace vantrel::fuzz
