// Finding the simulated Mac a program runs on. Kept apart from the services so that the
// stand-in tools, which only need to know where their Mac is, link nothing else of them.
#include <system_error>

#include "platform/simmac/SimulatedMac.h"

namespace vantrel::simmac {

namespace fs = std::filesystem;

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
