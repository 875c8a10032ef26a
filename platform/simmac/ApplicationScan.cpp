#include "platform/simmac/ApplicationScan.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include "platform/TrustedPath.h"
#include "plist/Plist.h"

namespace vantrel::simmac {

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

std::optional<std::string> ApplicationScan::applicationPathForBundleIdentifier(
    const std::string& bundleIdentifier, const std::string& ownFolder,
    std::vector<platform::SkippedApplication>* skipped) const {
    std::vector<fs::path> searched = {root_.host("/Applications")};
    const fs::path own = ownFolder.empty() ? fs::path() : root_.host(ownFolder);
    if (!own.empty()) {
        searched.push_back(own);
    }
    for (const auto& folder : sortedEntries(root_.host("/Library/Application Support"))) {
        if (folder != own) {
            searched.push_back(folder);
        }
    }
    for (const auto& folder : searched) {
        for (const auto& candidate : sortedEntries(folder)) {
            if (!isBundleWithIdentifier(candidate, bundleIdentifier)) {
                continue;
            }
            const std::string path = root_.mac(candidate);
            if (auto reason = platform::whyNotRootOnlyApplication(root_, path)) {
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

}  // namespace vantrel::simmac
