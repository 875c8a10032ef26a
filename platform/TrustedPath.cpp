#include "platform/TrustedPath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/Descriptor.h"

namespace vantrel::platform {

namespace fs = std::filesystem;

namespace {

std::optional<std::string> whyNotRootOnlyStep(const struct stat& info, const std::string& shown) {
    if (S_ISLNK(info.st_mode)) {
        return shown + " is a symbolic link";
    }
    if (info.st_uid != 0) {
        return shown + " is owned by uid " + std::to_string(info.st_uid) + ", not root";
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return shown + " is writable by " +
               ((info.st_mode & S_IWOTH) != 0 ? "all users" : "its group");
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> whyNotRootOnly(const MacRoot& root, const std::string& macPath) {
    // Walks down from the Mac's "/" one name at a time, never following a link, so each
    // step is the very item the next name is looked up in.
    Descriptor folder(::open(root.hostRoot().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0) {
        return "/ cannot be opened: " + std::string(std::strerror(errno));
    }
    std::string shown = "/";
    struct stat info {};
    if (::fstat(folder.get(), &info) != 0) {
        return "/ cannot be examined: " + std::string(std::strerror(errno));
    }
    if (auto reason = whyNotRootOnlyStep(info, shown)) {
        return reason;
    }
    std::vector<std::string> names;
    for (const auto& part : fs::path(macPath).relative_path()) {
        const std::string name = part.string();
        if (name.empty() || name == ".") {
            continue;
        }
        if (name == "..") {
            return macPath + " is not a plain path";
        }
        names.push_back(name);
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        shown = (shown == "/" ? "" : shown) + "/" + names[i];
        if (::fstatat(folder.get(), names[i].c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            return shown + " cannot be examined: " + std::strerror(errno);
        }
        if (auto reason = whyNotRootOnlyStep(info, shown)) {
            return reason;
        }
        if (i + 1 == names.size()) {
            break;
        }
        if (!S_ISDIR(info.st_mode)) {
            return shown + " is not a folder";
        }
        const int next =
            ::openat(folder.get(), names[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            return shown + " cannot be opened: " + std::strerror(errno);
        }
        folder.reset(next);
    }
    return std::nullopt;
}

std::optional<std::string> whyNotRootOnlyApplication(const MacRoot& root,
                                                     const std::string& bundleMacPath) {
    if (auto reason = whyNotRootOnly(root, bundleMacPath)) {
        return reason;
    }
    for (const char* inside : {"/Contents/Info.plist", "/Contents/Resources/startosinstall",
                               "/Contents/SharedSupport/BaseSystem.dmg"}) {
        // A missing file is reported by the run that needs it; the folder it would appear
        // in must still be root's, or someone else could add it later.
        std::string item = bundleMacPath + inside;
        struct stat info {};
        if (::lstat(root.host(item).c_str(), &info) != 0 && errno == ENOENT) {
            item = fs::path(item).parent_path().string();
            if (::lstat(root.host(item).c_str(), &info) != 0 && errno == ENOENT) {
                continue;
            }
        }
        if (auto reason = whyNotRootOnly(root, item)) {
            return reason;
        }
    }
    return std::nullopt;
}

}  // namespace vantrel::platform
