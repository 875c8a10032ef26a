#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vantrel::platform {

namespace fs = std::filesystem;

namespace {

std::string lastComponent(const std::string& macPath) {
    return fs::path(macPath).filename().string();
}

Error errnoError(const std::string& verb, const std::string& macPath, int code) {
    return Error{"“" + lastComponent(macPath) + "” couldn’t be " + verb + ": " +
                 std::strerror(code) + " (" + macPath + ")"};
}

}  // namespace

bool fileExists(const MacRoot& root, const std::string& macPath) {
    struct stat info {};
    return ::lstat(root.host(macPath).c_str(), &info) == 0;
}

std::optional<Error> createDirectory(const MacRoot& root, const std::string& macPath,
                                     bool intermediates, mode_t mode) {
    const fs::path host = root.host(macPath);
    if (intermediates) {
        std::error_code ec;
        // Parents get the usual 0755; only the folder asked for gets `mode`.
        if (!host.parent_path().empty()) {
            fs::create_directories(host.parent_path(), ec);
        }
        if (::mkdir(host.c_str(), mode) != 0) {
            if (errno == EEXIST && fs::is_directory(host, ec)) {
                return std::nullopt;
            }
            return errnoError("created", macPath, errno);
        }
    } else if (::mkdir(host.c_str(), mode) != 0) {
        return errnoError("created", macPath, errno);
    }
    // mkdir's mode is filtered by the umask; the mode asked for is the one wanted.
    ::chmod(host.c_str(), mode);
    return std::nullopt;
}

std::optional<Error> moveItem(const MacRoot& root, const std::string& from, const std::string& to) {
    const fs::path hostFrom = root.host(from);
    const fs::path hostTo = root.host(to);
    struct stat info {};
    if (::lstat(hostFrom.c_str(), &info) != 0) {
        return errnoError("moved", from, errno);
    }
    if (::lstat(hostTo.c_str(), &info) == 0) {
        return Error{"“" + lastComponent(from) + "” couldn’t be moved because an item named “" +
                     lastComponent(to) + "” already exists."};
    }
    // RENAME_NOREPLACE closes the window between the test above and the rename.
    if (::renameat2(AT_FDCWD, hostFrom.c_str(), AT_FDCWD, hostTo.c_str(), RENAME_NOREPLACE) != 0) {
        return errnoError("moved", from, errno);
    }
    return std::nullopt;
}

std::optional<Error> removeItem(const MacRoot& root, const std::string& macPath) {
    std::error_code ec;
    fs::remove_all(root.host(macPath), ec);
    if (ec) {
        return errnoError("removed", macPath, ec.value());
    }
    return std::nullopt;
}

std::optional<std::vector<std::string>> listDirectory(const MacRoot& root,
                                                      const std::string& macPath, Error* error) {
    DIR* dir = ::opendir(root.host(macPath).c_str());
    if (!dir) {
        if (error) {
            *error = errnoError("opened", macPath, errno);
        }
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(dir);
    return names;
}

std::optional<std::string> readSmallFile(const MacRoot& root, const std::string& macPath) {
    std::ifstream in(root.host(macPath), std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace vantrel::platform
