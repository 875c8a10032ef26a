#include "platform/simmac/SimulatedMac.h"

namespace vantrel::simmac {

namespace fs = std::filesystem;

SimulatedMac::SimulatedMac(platform::MacRoot root, fs::path appBundle,
                           const platform::ProcessServices& process)
    : root_(std::move(root)),
      appBundle_(std::move(appBundle)),
      process_(process),
      machine_(root_, appBundle_),
      volumes_(root_),
      applications_(root_),
      log_(root_, process.clock) {}

platform::Services SimulatedMac::services() {
    return {root_,
            appBundle_,
            machine_,
            volumes_,
            applications_,
            log_,
            process_.mainQueue,
            process_.backgroundQueue,
            process_.clock,
            process_.console};
}

}  // namespace vantrel::simmac
