#include "platform/AppRegistry.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include "platform/Host.h"
#include "platform/TrustedPath.h"
#include "plist/Plist.h"

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
    plist::Plist info = plist::readPlistFile(candidate / "Contents" / "Info.plist");
    return plist::stringForKey(info.get(), "CFBundleIdentifier") == bundleIdentifier;
}

}  // namespace

std::optional<std::string> applicationPathForBundleIdentifier(
    const std::string& bundleIdentifier, const std::string& ownFolder,
    std::vector<SkippedApplication>* skipped) {
    std::vector<fs::path> searched = {mac().host("/Applications")};
    const fs::path own = ownFolder.empty() ? fs::path() : mac().host(ownFolder);
    if (!own.empty()) {
        searched.push_back(own);
    }
    for (const auto& folder : sortedEntries(mac().host("/Library/Application Support"))) {
        if (folder != own) {
            searched.push_back(folder);
        }
    }
    for (const auto& folder : searched) {
        for (const auto& candidate : sortedEntries(folder)) {
            if (!isBundleWithIdentifier(candidate, bundleIdentifier)) {
                continue;
            }
            const std::string path = mac().mac(candidate);
            if (auto reason = whyNotRootOnlyApplication(path)) {
                if (skipped) {
                    skipped->push_back({path, *reason});
                }
                continue;
            }
            return path;
        }
    }
    return std::nullopt;
}

}  // namespace vantrel::platform
