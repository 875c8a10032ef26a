#include "platform/simmac/SimulatedMac.h"

namespace vantrel::simmac {

namespace fs = std::filesystem;

SimulatedMac::SimulatedMac(platform::MacRoot root, fs::path appBundle)
    : root_(std::move(root)),
      appBundle_(std::move(appBundle)),
      machine_(root_, appBundle_),
      volumes_(root_),
      applications_(root_),
      log_(root_) {}

platform::Services SimulatedMac::services() {
    return {root_, appBundle_, machine_, volumes_, applications_, log_};
}

}  // namespace vantrel::simmac
