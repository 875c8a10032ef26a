#include "net/ResumeStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/RootFolder.h"

namespace vantrel::net {

namespace {

constexpr const char* kDataSuffix = ".data";
constexpr const char* kInfoSuffix = ".info";
constexpr std::size_t kMaxInfoBytes = 8192;

std::string readAll(int fd) {
    std::string text;
    char buffer[1024];
    while (text.size() <= kMaxInfoBytes) {
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            break;  // a line without its end was cut off
        }
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

}  // namespace

std::string ResumeStore::keyOf(const std::string& url) {
    // FNV-1a, twice with different offsets: 32 hex digits.
    const auto fnv = [&](std::uint64_t hash) {
        for (const unsigned char c : url) {
            hash = (hash ^ c) * 0x100000001b3ull;
        }
        return hash;
    };
    char text[33];
    std::snprintf(text, sizeof text, "%016llx%016llx",
                  static_cast<unsigned long long>(fnv(0xcbf29ce484222325ull)),
                  static_cast<unsigned long long>(fnv(0x84222325cbf29ce4ull)));
    return text;
}

std::shared_ptr<ResumeStore> ResumeStore::open(const platform::MacRoot& root,
                                               const std::string& macFolder, std::string* whyNot) {
    const auto state = platform::makeRootFolder(root, macFolder, 0700);
    if (state.kind != platform::RootFolderState::Ready) {
        if (whyNot) {
            *whyNot = state.kind == platform::RootFolderState::NotAFolder
                          ? macFolder + " is not a folder"
                          : state.reason;
        }
        return nullptr;
    }
    const auto host = root.host(macFolder);
    const int fd = ::open(host.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || info.st_uid != 0 || (info.st_mode & 077) != 0) {
        if (whyNot) {
            *whyNot = macFolder + " is not a folder of root's own";
        }
        if (fd >= 0) {
            ::close(fd);
        }
        return nullptr;
    }
    return std::shared_ptr<ResumeStore>(new ResumeStore(fd));
}

ResumeStore::~ResumeStore() {
    ::close(folder_);
}

void ResumeStore::prune(const std::set<std::string>& urls,
                        std::chrono::system_clock::time_point oldest) const {
    std::set<std::string> keep;
    for (const auto& url : urls) {
        keep.insert(keyOf(url) + kDataSuffix);
        keep.insert(keyOf(url) + kInfoSuffix);
    }
    const int listing = ::dup(folder_);
    DIR* folder = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (!folder) {
        if (listing >= 0) {
            ::close(listing);
        }
        return;
    }
    ::rewinddir(folder);
    const auto oldestSeconds = std::chrono::system_clock::to_time_t(oldest);
    std::vector<std::pair<std::string, bool>> doomed;  // name, is a folder
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        struct stat info {};
        if (::fstatat(folder_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        if (!S_ISREG(info.st_mode) || !keep.count(name) || info.st_mtime < oldestSeconds) {
            doomed.emplace_back(name, S_ISDIR(info.st_mode));
        }
    }
    ::closedir(folder);
    for (const auto& [name, isFolder] : doomed) {
        // A folder someone put here is not the store's to empty; only an empty one goes.
        ::unlinkat(folder_, name.c_str(), isFolder ? AT_REMOVEDIR : 0);
    }
}

std::optional<ResumeStore::Entry> ResumeStore::find(const std::string& url) const {
    const std::string key = keyOf(url);
    struct stat data {};
    if (::fstatat(folder_, (key + kDataSuffix).c_str(), &data, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(data.st_mode)) {
        return std::nullopt;
    }
    const int fd =
        ::openat(folder_, (key + kInfoSuffix).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    const auto recorded = lines(readAll(fd));
    ::close(fd);
    if (recorded.size() != 3 || recorded[0] != url) {
        return std::nullopt;
    }
    Entry entry;
    entry.url = recorded[0];
    char* end = nullptr;
    entry.expectedSize = std::strtoll(recorded[1].c_str(), &end, 10);
    if (recorded[1].empty() || *end != '\0') {
        return std::nullopt;
    }
    entry.validator = recorded[2];
    return entry;
}

int ResumeStore::openData(const std::string& url) const {
    return ::openat(folder_, (keyOf(url) + kDataSuffix).c_str(),
                    O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
}

bool ResumeStore::record(const Entry& entry) const {
    const std::string key = keyOf(entry.url);
    const std::string temporary = key + ".new";
    const std::string text =
        entry.url + "\n" + std::to_string(entry.expectedSize) + "\n" + entry.validator + "\n";
    ::unlinkat(folder_, temporary.c_str(), 0);
    const int fd = ::openat(folder_, temporary.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const bool closed = ::close(fd) == 0;
    // Renamed into place whole: a run killed meanwhile leaves the old record or the new one.
    return written && closed &&
           ::renameat(folder_, temporary.c_str(), folder_, (key + kInfoSuffix).c_str()) == 0;
}

bool ResumeStore::linkData(const std::string& url, const std::filesystem::path& target) const {
    return ::linkat(folder_, (keyOf(url) + kDataSuffix).c_str(), AT_FDCWD, target.c_str(), 0) == 0;
}

bool ResumeStore::moveData(const std::string& url, const std::filesystem::path& target) const {
    return ::renameat(folder_, (keyOf(url) + kDataSuffix).c_str(), AT_FDCWD, target.c_str()) == 0;
}

void ResumeStore::remove(const std::string& url) const {
    const std::string key = keyOf(url);
    ::unlinkat(folder_, (key + kDataSuffix).c_str(), 0);
    ::unlinkat(folder_, (key + kInfoSuffix).c_str(), 0);
}

void ResumeStore::clear() const {
    prune({}, std::chrono::system_clock::time_point::min());
}

}  // namespace vantrel::net
