#include "base/InstallerLock.h"

#include "base/Logging.h"
#include "platform/FileLock.h"
#include "platform/RootFolder.h"
#include "platform/TrustedPath.h"

namespace vantrel::installerlock {

namespace {

constexpr mode_t kLockFolderMode = 0700;

std::string lockFolder(const platform::Machine& machine) {
    return "/private/var/run/" + machine.bundleIdentifier().value_or("com.corvane.vantrel");
}

// The folder is made root's, then checked with everything above it: a lock in a folder that
// someone else can change could be taken away or held forever by them.
std::optional<std::string> whyNoLockFolder(const platform::Services& services) {
    const std::string folderPath = lockFolder(services.machine);
    const auto folder = platform::makeRootFolder(services.root, folderPath, kLockFolderMode);
    if (folder.kind != platform::RootFolderState::Ready) {
        return folder.reason;
    }
    return platform::whyNotRootOnly(services.root, folderPath);
}

struct Hold {
    platform::LockResult result = platform::LockResult::Failed;
    std::string failure;
};

Hold hold(const platform::Services& services, platform::LockMode mode) {
    if (auto reason = whyNoLockFolder(services)) {
        return {platform::LockResult::Failed, *reason};
    }
    platform::Error error;
    const auto result = platform::holdLock(services.root, lockPath(services.machine), mode, &error);
    return {result, error.description};
}

}  // namespace

std::string lockPath(const platform::Machine& machine) {
    return lockFolder(machine) + "/installer.lock";
}

std::optional<std::string> holdForCaching(const platform::Services& services) {
    const Hold taken = hold(services, platform::LockMode::Exclusive);
    switch (taken.result) {
        case platform::LockResult::Held:
            return std::nullopt;
        case platform::LockResult::BusyExclusive:
            cachingLog().error("Another run holds the caching lock");
            return "Another Vantrel run is caching the macOS installer on this Mac; nothing was "
                   "changed. Try again when it has finished.";
        case platform::LockResult::BusyShared:
            cachingLog().error("A running installation holds the caching lock");
            return "A macOS installation is running from the cached installer on this Mac; "
                   "nothing was changed. Try again when it has finished.";
        case platform::LockResult::Failed:
            break;
    }
    return "The caching lock could not be taken: " + taken.failure;
}

std::optional<std::string> holdForInstallation(const platform::Services& services) {
    const Hold taken = hold(services, platform::LockMode::Shared);
    switch (taken.result) {
        case platform::LockResult::Held:
            return std::nullopt;
        case platform::LockResult::BusyExclusive:
        case platform::LockResult::BusyShared:
            return "Another Vantrel run is caching the macOS installer on this Mac; the "
                   "installation was not started. Try again when it has finished.";
        case platform::LockResult::Failed:
            break;
    }
    return "The caching lock could not be taken: " + taken.failure;
}

void releaseAfterInstallation(const platform::Services& services) {
    platform::releaseSharedLock(services.root, lockPath(services.machine));
}

}  // namespace vantrel::installerlock
