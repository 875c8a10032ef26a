#include "caching/dmgMounter.h"

#include <cstdlib>
#include <optional>

#include "base/CleanUp.h"
#include "platform/Files.h"
#include "platform/Machine.h"
#include "platform/Process.h"
#include "plist/Plist.h"

namespace vantrel {

namespace {

constexpr mode_t kMountPointMode = 0755;

// The version file as a dictionary of text to text; absent when it is anything else.
std::optional<plist::Plist> textDictionary(const std::optional<std::string>& data) {
    if (!data) {
        return std::nullopt;
    }
    plist::Plist root = plist::parsePlist(*data);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) {
        return std::nullopt;
    }
    bool allText = true;
    plist::forEachDictItem(root.get(), [&](const char*, plist_t value) {
        allText = plist_get_node_type(value) == PLIST_STRING;
        return allText;
    });
    if (!allText) {
        return std::nullopt;
    }
    return root;
}

}  // namespace

std::vector<std::string> dmgMounter::attachArguments(const std::string& imagePath,
                                                     const std::string& mountPoint) {
    return {"attach", imagePath, "-nobrowse", "-noverify", "-quiet", "-mountpoint", mountPoint};
}

std::string dmgMounter::readCachedBuild(const platform::Services& platform,
                                        const std::string& installerPath) {
    CleanUp::unmountInstallerVolumes(platform.volumes);
    const std::string imagePath = installerPath + "/Contents/SharedSupport/BaseSystem.dmg";
    const std::string mountPoint = platform.machine.temporaryDirectory() +
                                   platform.machine.bundleIdentifier().value_or("") + "/baseMount";
    if (const auto error =
            platform::createDirectory(platform.root, mountPoint, true, kMountPointMode)) {
        platform.console.printLine(error->description);
    }
    platform::ProcessSpec spec;
    spec.executable = "/usr/bin/hdiutil";
    spec.arguments = attachArguments(imagePath, mountPoint);
    if (platform::runInheritingStreams(platform.root, spec)) {
        platform.console.printLine("error running command");
    }
    const std::string build = decodeCachedBuild(
        platform::readSmallFile(platform.root,
                                mountPoint + "/System/Library/CoreServices/SystemVersion.plist"),
        [&platform](std::string_view line) { platform.console.printLine(line); });
    CleanUp::unmountInstallerVolumes(platform.volumes);
    return build;
}

std::string dmgMounter::decodeCachedBuild(const std::optional<std::string>& data,
                                          const std::function<void(std::string_view)>& printLine) {
    if (!data) {
        printLine("no data");
    }
    if (const auto dictionary = textDictionary(data)) {
        return plist::stringForKey(dictionary->get(), "ProductBuildVersion").value_or("");
    }
    printLine("could not decode");
    return {};
}

}  // namespace vantrel
