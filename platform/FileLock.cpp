#include "platform/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>

namespace vantrel::platform {

namespace {

struct HeldLock {
    int fd = -1;
    LockMode mode = LockMode::Shared;
};

std::mutex& heldGuard() {
    static std::mutex guard;
    return guard;
}

std::map<std::string, HeldLock>& held() {
    static auto* locks = new std::map<std::string, HeldLock>();  // host path -> lock
    return *locks;
}

Error lockError(const std::string& verb, const std::string& macPath, int code) {
    return Error{"“" + std::filesystem::path(macPath).filename().string() + "” couldn’t be " +
                 verb + ": " + std::strerror(code) + " (" + macPath + ")"};
}

// Who holds the lock that `fd` could not get exclusively: when a shared lock can be had,
// only shared holders are there.
LockResult whoHolds(int fd) {
    if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
        ::flock(fd, LOCK_UN);
        return LockResult::BusyShared;
    }
    return LockResult::BusyExclusive;
}

}  // namespace

LockResult holdLock(const MacRoot& root, const std::string& macPath, LockMode mode, Error* error) {
    const std::string host = root.host(macPath).string();
    std::lock_guard<std::mutex> guard(heldGuard());
    const int operation = (mode == LockMode::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    if (auto found = held().find(host); found != held().end()) {
        HeldLock& lock = found->second;
        if (lock.mode == LockMode::Exclusive || mode == LockMode::Shared) {
            return LockResult::Held;
        }
        if (::flock(lock.fd, operation) == 0) {
            lock.mode = LockMode::Exclusive;
            return LockResult::Held;
        }
        // A failed upgrade may have dropped the shared lock: take it again.
        if (::flock(lock.fd, LOCK_SH | LOCK_NB) != 0) {
            ::close(lock.fd);
            held().erase(found);
            return LockResult::BusyExclusive;
        }
        return LockResult::BusyShared;
    }
    const int fd = ::open(host.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (error) {
            *error = lockError("opened", macPath, errno);
        }
        return LockResult::Failed;
    }
    if (::flock(fd, operation) != 0) {
        const int code = errno;
        LockResult result = LockResult::Failed;
        if (code == EWOULDBLOCK) {
            result = mode == LockMode::Exclusive ? whoHolds(fd) : LockResult::BusyExclusive;
        } else if (error) {
            *error = lockError("locked", macPath, code);
        }
        ::close(fd);
        return result;
    }
    held()[host] = HeldLock{fd, mode};
    return LockResult::Held;
}

void releaseSharedLock(const MacRoot& root, const std::string& macPath) {
    const std::string host = root.host(macPath).string();
    std::lock_guard<std::mutex> guard(heldGuard());
    const auto found = held().find(host);
    if (found == held().end() || found->second.mode != LockMode::Shared) {
        return;
    }
    ::close(found->second.fd);  // closing the only descriptor releases the lock
    held().erase(found);
}

}  // namespace vantrel::platform
