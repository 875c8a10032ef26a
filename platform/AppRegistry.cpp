#include "platform/AppRegistry.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include "platform/Host.h"
#include "platform/Plist.h"

namespace vantrel::platform {

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> sortedEntries(const fs::path& folder) {
    std::vector<fs::path> entries;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        entries.push_back(entry.path());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

bool isBundleWithIdentifier(const fs::path& candidate, const std::string& bundleIdentifier) {
    if (candidate.extension() != ".app") {
        return false;
    }
    Plist info = readPlistFile(candidate / "Contents" / "Info.plist");
    return stringForKey(info.get(), "CFBundleIdentifier") == bundleIdentifier;
}

}  // namespace

std::optional<std::string> applicationPathForBundleIdentifier(const std::string& bundleIdentifier) {
    std::vector<fs::path> searched = {mac().host("/Applications")};
    for (const auto& folder : sortedEntries(mac().host("/Library/Application Support"))) {
        searched.push_back(folder);
    }
    for (const auto& folder : searched) {
        for (const auto& candidate : sortedEntries(folder)) {
            if (isBundleWithIdentifier(candidate, bundleIdentifier)) {
                return mac().mac(candidate);
            }
        }
    }
    return std::nullopt;
}

}  // namespace vantrel::platform
