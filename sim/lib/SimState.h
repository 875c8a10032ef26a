#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/MacRoot.h"

namespace vantrel::sim {

// What the stand-in tools of a simulated Mac are told to do, and what they record, kept under
// R/private/var/db/vantrel-sim so that the Mac's own tools can read it without any variable.

// The message the stand-in startosinstall refuses with ("Error: <message>" on standard
// error, a failure status, no signal); absent when it runs normally.
std::optional<std::string> startosinstallRefusal(const platform::MacRoot& root);
// Sets the refusal, or clears it with an absent message.
bool setStartosinstallRefusal(const platform::MacRoot& root,
                              const std::optional<std::string>& message);

// The progress the stand-in startosinstall prints, one "Preparing: <n>%" line each.
inline constexpr double kPreparingSteps[] = {10, 45.5, 80, 100};

// The installation that the stand-in startosinstall was asked for, as a real machine would
// have carried it out after its restart.
struct InstallationRecord {
    std::string installer;               // Mac path of the installer application it ran from
    std::vector<std::string> arguments;  // exactly as received, in order
    std::vector<std::pair<std::string, std::string>> environment;  // sorted by name
    bool erase = false;
    bool forceQuitApps = false;
    long pidToSignal = 0;
    bool signalled = false;  // the process was signalled, as at the restart
};

// Mac path of the record: "/private/var/db/vantrel-sim/installation.plist".
std::string installationRecordPath();
bool writeInstallationRecord(const platform::MacRoot& root, const InstallationRecord& record);
// Absent when no installation was asked for.
std::optional<InstallationRecord> readInstallationRecord(const platform::MacRoot& root);

}  // namespace vantrel::sim
