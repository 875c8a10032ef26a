#pragma once

#include <chrono>
#include <filesystem>
#include <optional>

#include "net/DownloadSession.h"
#include "net/Http.h"
#include "net/NetworkLibrary.h"
#include "platform/Services.h"
#include "tests/support/TestProcess.h"

namespace vantrel::testsupport {

// The simulated Mac whose services the program's classes use in this test process: set by
// TempMac::useInProcess and BareMac, so that helpers shared by many tests reach the Mac the
// test made without being handed it.
void useInProcessMac(const platform::Services& services, net::NetworkPlugIn& network);
// Forgets the Mac if it is the one of `services`.
void forgetInProcessMac(const platform::Services& services);
// The services of the Mac in use; the test fails hard when none is.
const platform::Services& inProcessServices();
net::NetworkPlugIn& inProcessNetwork();

// A download session's configuration on the Mac in use: its plug-in and root, trusting
// `trustFile` (by default the Mac's certificates).
net::DownloadSession::Configuration downloadConfiguration(
    net::NetworkLimits limits = {},
    std::chrono::milliseconds progressInterval = std::chrono::milliseconds(250),
    std::optional<std::filesystem::path> trustFile = std::nullopt);
// A document client on the Mac in use, trusting its certificates unless told otherwise.
net::HttpClient documentClient(net::NetworkLimits limits = {},
                               std::optional<std::filesystem::path> trustFile = std::nullopt);

}  // namespace vantrel::testsupport
