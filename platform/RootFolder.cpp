#include "platform/RootFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace vantrel::platform {

namespace fs = std::filesystem;

namespace {

RootFolderState refused(const std::string& macPath, const std::string& what) {
    return {RootFolderState::Refused, macPath + " " + what};
}

}  // namespace

RootFolderState makeRootFolder(const MacRoot& root, const std::string& macPath, mode_t mode) {
    const fs::path host = root.host(macPath);
    struct stat info {};
    if (::lstat(host.c_str(), &info) != 0) {
        if (errno == ENOTDIR) {
            return {RootFolderState::NotCreated,
                    macPath + " cannot be created: " + std::strerror(errno)};
        }
        if (errno != ENOENT) {
            return refused(macPath, std::string("cannot be examined: ") + std::strerror(errno));
        }
        std::error_code ec;
        fs::create_directories(host.parent_path(), ec);
        if (::mkdir(host.c_str(), 0700) != 0 && errno != EEXIST) {
            return {RootFolderState::NotCreated,
                    macPath + " cannot be created: " + std::strerror(errno)};
        }
    }
    // O_NONBLOCK: a pipe planted there must not hold the run (O_DIRECTORY refuses it anyway).
    const int fd =
        ::open(host.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int code = errno;
        if (::lstat(host.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
            return refused(macPath, "is a symbolic link, not a folder");
        }
        if (code == ENOTDIR) {
            return {RootFolderState::NotAFolder, macPath + " is not a folder"};
        }
        return refused(macPath, std::string("cannot be opened: ") + std::strerror(code));
    }
    // Owner first: a change of owner may clear the mode's special bits.
    const bool set = ::fchown(fd, 0, 0) == 0 && ::fchmod(fd, mode) == 0;
    const int code = errno;
    ::close(fd);
    if (!set) {
        return refused(macPath, std::string("cannot be given to root: ") + std::strerror(code));
    }
    return {};
}

}  // namespace vantrel::platform
