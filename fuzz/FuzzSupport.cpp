#include "fuzz/FuzzSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "base/Logging.h"
#include "base/SharedData.h"
#include "platform/StandardProcessServices.h"
#include "platform/simmac/SimulatedMac.h"
#include "plist/PlistLimits.h"

namespace vantrel::fuzz {

namespace fs = std::filesystem;

namespace {

fs::path& macFolder() {
    static fs::path folder;
    return folder;
}

void removeMacFolder() {
    std::error_code ec;
    fs::remove_all(macFolder(), ec);
}

// The children of a container, in order.
std::vector<plist_t> childrenOf(plist_t node) {
    std::vector<plist_t> children;
    if (plist_get_node_type(node) == PLIST_ARRAY) {
        for (std::uint32_t i = 0; i < plist_array_get_size(node); ++i) {
            children.push_back(plist_array_get_item(node, i));
        }
    } else if (plist_get_node_type(node) == PLIST_DICT) {
        plist::forEachDictItem(node, [&](const char*, plist_t value) {
            children.push_back(value);
            return true;
        });
    }
    return children;
}

}  // namespace

void expectWithinPlistLimits(plist_t tree) {
    if (!tree) {
        return;
    }
    // Without recursion, so that a tree too deep is reported rather than crashing here.
    std::vector<std::pair<plist_t, std::size_t>> pending{{tree, 1}};
    std::size_t values = 0;
    while (!pending.empty()) {
        const auto [node, depth] = pending.back();
        pending.pop_back();
        ++values;
        const bool container =
            plist_get_node_type(node) == PLIST_ARRAY || plist_get_node_type(node) == PLIST_DICT;
        if ((container && depth > plist::kMaxPlistDepth) || values > plist::kMaxPlistValues) {
            std::abort();
        }
        for (plist_t child : childrenOf(node)) {
            pending.emplace_back(child, depth + 1);
        }
    }
}

net::NetworkPlugIn*& networkPlugIn() {
    static net::NetworkPlugIn* plugIn = nullptr;
    return plugIn;
}

const platform::Services*& fuzzServices() {
    static const platform::Services* services = nullptr;
    return services;
}

net::NetworkPlugIn& network() {
    return *networkPlugIn();
}

const platform::Services& services() {
    return *fuzzServices();
}

void prepareProcess() {
    if (!macFolder().empty()) {
        return;
    }
    std::string pattern = (fs::temp_directory_path() / "vantrel-fuzz-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    macFolder() = pattern;
    std::atexit(removeMacFolder);
    const fs::path root = macFolder();
    std::ofstream(root / "SimulatedMac.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict/></plist>\n";
    fs::create_directories(root / "private/var/log");
    fs::create_symlink("/dev/null", root / "private/var/log/vantrel.log");
    // The build's network plug-in, where the program loads it from.
    fs::create_directories(root / "Applications/Vantrel.app/Contents/PlugIns");
    fs::copy_file(VANTREL_NETWORK_PLUGIN,
                  root / "Applications/Vantrel.app/Contents/PlugIns/libvantrel-network.so");
    static auto* process = new platform::StandardProcessServices;
    static auto* mac = new simmac::SimulatedMac(
        platform::MacRoot(root), root / "Applications/Vantrel.app", process->services());
    static const auto* macServices = new platform::Services(mac->services());
    fuzzServices() = macServices;
    useLogSink(&mac->services().log);
    SharedData::shared().describeMachine(mac->services().machine);
    static auto* plugIn = new net::NetworkPlugIn(mac->root(), root / "Applications/Vantrel.app");
    networkPlugIn() = plugIn;

    std::fflush(stdout);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
}

std::vector<std::string> splitInput(std::string_view data, std::string_view separator) {
    std::vector<std::string> pieces;
    while (true) {
        const std::size_t cut = data.find(separator);
        if (cut == std::string_view::npos) {
            pieces.emplace_back(data);
            return pieces;
        }
        pieces.emplace_back(data.substr(0, cut));
        data.remove_prefix(cut + separator.size());
    }
}

}  // namespace vantrel::fuzz
