#include "platform/simmac/SimulatedMac.h"

#include <system_error>

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

std::optional<platform::MacRoot> SimulatedMac::discoverFrom(const fs::path& executable) {
    std::error_code ec;
    fs::path dir = fs::weakly_canonical(executable, ec);
    if (ec) {
        dir = fs::absolute(executable);
    }
    dir = dir.parent_path();
    while (true) {
        if (fs::exists(dir / std::string(kMarkerFile), ec)) {
            return platform::MacRoot(dir);
        }
        if (dir == dir.root_path() || dir.empty()) {
            return std::nullopt;
        }
        dir = dir.parent_path();
    }
}

fs::path SimulatedMac::thisExecutable() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : exe;
}

std::optional<platform::MacRoot> SimulatedMac::discoverForThisProcess() {
    fs::path exe = thisExecutable();
    if (exe.empty()) {
        return std::nullopt;
    }
    return discoverFrom(exe);
}

}  // namespace vantrel::simmac
