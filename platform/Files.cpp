#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "platform/Host.h"

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

bool fileExists(const std::string& macPath) {
    struct stat info {};
    return ::lstat(mac().host(macPath).c_str(), &info) == 0;
}

std::optional<Error> createDirectory(const std::string& macPath, bool intermediates, mode_t mode) {
    const fs::path host = mac().host(macPath);
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

std::optional<Error> moveItem(const std::string& from, const std::string& to) {
    const fs::path hostFrom = mac().host(from);
    const fs::path hostTo = mac().host(to);
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

std::optional<Error> replaceItem(const std::string& original, const std::string& replacement) {
    const fs::path hostOriginal = mac().host(original);
    const fs::path hostReplacement = mac().host(replacement);
    struct stat info {};
    if (::lstat(hostReplacement.c_str(), &info) != 0) {
        return errnoError("found", replacement, errno);
    }
    // Swap the two atomically, then remove the old item from where the new one was: at no
    // moment is there no installer at `original`, and a crash leaves at worst a stale copy
    // at `replacement`, never a missing or half-copied one at `original`.
    if (::renameat2(AT_FDCWD, hostReplacement.c_str(), AT_FDCWD, hostOriginal.c_str(),
                    RENAME_EXCHANGE) != 0) {
        if (errno == ENOENT) {
            return moveItem(replacement, original);
        }
        return errnoError("replaced", original, errno);
    }
    std::error_code ec;
    fs::remove_all(hostReplacement, ec);
    if (ec) {
        return Error{"The old item at “" + replacement + "” couldn’t be removed: " + ec.message()};
    }
    return std::nullopt;
}

std::optional<Error> removeItem(const std::string& macPath) {
    std::error_code ec;
    fs::remove_all(mac().host(macPath), ec);
    if (ec) {
        return errnoError("removed", macPath, ec.value());
    }
    return std::nullopt;
}

std::optional<std::vector<std::string>> listDirectory(const std::string& macPath, Error* error) {
    DIR* dir = ::opendir(mac().host(macPath).c_str());
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

LockResult holdExclusiveLock(const std::string& macPath, Error* error) {
    static std::mutex lock;
    static std::map<std::string, int> held;  // host path -> descriptor, open until exit
    const std::string host = mac().host(macPath).string();
    std::lock_guard<std::mutex> guard(lock);
    if (held.count(host)) {
        return LockResult::Held;
    }
    const int fd = ::open(host.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (error) {
            *error = errnoError("opened", macPath, errno);
        }
        return LockResult::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int code = errno;
        ::close(fd);
        if (code == EWOULDBLOCK) {
            return LockResult::Busy;
        }
        if (error) {
            *error = errnoError("locked", macPath, code);
        }
        return LockResult::Failed;
    }
    held[host] = fd;
    return LockResult::Held;
}

std::optional<std::string> readSmallFile(const std::string& macPath) {
    std::ifstream in(mac().host(macPath), std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace vantrel::platform
