#include "platform/simmac/MountTable.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "plist/Plist.h"

namespace vantrel::simmac {

namespace fs = std::filesystem;

namespace {

constexpr const char* kTableDir = "/private/var/db/mounts";
constexpr const char* kTableFile = "/private/var/db/mounts/table.plist";
constexpr const char* kLockFile = "/private/var/db/mounts/.lock";

// Holds the table's lock for the lifetime of the object.
class TableLock {
  public:
    TableLock(const platform::MacRoot& root, int operation) {
        std::error_code ec;
        fs::create_directories(root.host(kTableDir), ec);
        fd_ = ::open(root.host(kLockFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0) {
            ::flock(fd_, operation);
        }
    }
    ~TableLock() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;

  private:
    int fd_ = -1;
};

std::vector<MountTable::Volume> readTable(const platform::MacRoot& root) {
    std::vector<MountTable::Volume> volumes;
    plist::Plist table = plist::readPlistFile(root.host(kTableFile));
    if (!table || plist_get_node_type(table.get()) != PLIST_ARRAY) {
        return volumes;
    }
    const std::uint32_t count = plist_array_get_size(table.get());
    for (std::uint32_t i = 0; i < count; ++i) {
        plist_t entry = plist_array_get_item(table.get(), i);
        auto mountPoint = plist::stringForKey(entry, "MountPoint");
        if (!mountPoint) {
            continue;
        }
        volumes.push_back({*mountPoint, plist::stringForKey(entry, "Image").value_or(""),
                           plist::boolValue(plist::dictItem(entry, "Busy")).value_or(false)});
    }
    return volumes;
}

void writeTable(const platform::MacRoot& root, const std::vector<MountTable::Volume>& volumes) {
    plist::Plist table(plist_new_array());
    for (const auto& volume : volumes) {
        plist_t entry = plist_new_dict();
        plist_dict_set_item(entry, "MountPoint", plist_new_string(volume.mountPoint.c_str()));
        plist_dict_set_item(entry, "Image", plist_new_string(volume.image.c_str()));
        plist_dict_set_item(entry, "Busy", plist_new_bool(volume.busy ? 1 : 0));
        plist_array_append_item(table.get(), entry);
    }
    plist::writePlistFile(root.host(kTableFile), table.get());
}

}  // namespace

MountTable::MountTable(platform::MacRoot root) : root_(std::move(root)) {}

std::vector<MountTable::Volume> MountTable::list() const {
    TableLock lock(root_, LOCK_SH);
    return readTable(root_);
}

void MountTable::add(const Volume& volume) {
    TableLock lock(root_, LOCK_EX);
    auto volumes = readTable(root_);
    std::erase_if(volumes, [&](const Volume& v) { return v.mountPoint == volume.mountPoint; });
    volumes.push_back(volume);
    writeTable(root_, volumes);
}

MountTable::DetachResult MountTable::detach(const std::string& mountPoint) {
    TableLock lock(root_, LOCK_EX);
    auto volumes = readTable(root_);
    auto it = std::find_if(volumes.begin(), volumes.end(),
                           [&](const Volume& v) { return v.mountPoint == mountPoint; });
    if (it == volumes.end()) {
        return DetachResult::NotMounted;
    }
    if (it->busy) {
        return DetachResult::Busy;
    }
    std::error_code ec;
    const fs::path hostMount = root_.host(mountPoint);
    for (const auto& entry : fs::directory_iterator(hostMount, ec)) {
        fs::remove_all(entry.path(), ec);
    }
    volumes.erase(it);
    writeTable(root_, volumes);
    return DetachResult::Detached;
}

}  // namespace vantrel::simmac
