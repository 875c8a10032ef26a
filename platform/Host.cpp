#include "platform/Host.h"

#include <cstdlib>
#include <memory>

namespace vantrel::platform {

namespace {
struct HostState {
    MacRoot root;
    std::filesystem::path bundle;
};
std::unique_ptr<HostState>& state() {
    static std::unique_ptr<HostState> instance;
    return instance;
}
}  // namespace

void useMac(MacRoot root, std::filesystem::path appBundleHostPath) {
    state() = std::make_unique<HostState>(HostState{std::move(root), std::move(appBundleHostPath)});
}

bool macConfigured() {
    return state() != nullptr;
}

const MacRoot& mac() {
    if (!state()) {
        std::abort();  // a programming error: the entry point or the test fixture configures it
    }
    return state()->root;
}

const std::filesystem::path& appBundle() {
    if (!state()) {
        std::abort();
    }
    return state()->bundle;
}

}  // namespace vantrel::platform
