#include "sim/lib/DiskImage.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>
#include <vector>

namespace vantrel::sim {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kBlock = 256 * 1024;

struct ArchiveReadFree {
    void operator()(archive* a) const { archive_read_free(a); }
};
struct ArchiveWriteFree {
    void operator()(archive* a) const { archive_write_free(a); }
};
struct EntryFree {
    void operator()(archive_entry* e) const { archive_entry_free(e); }
};
using ReadArchive = std::unique_ptr<archive, ArchiveReadFree>;
using WriteArchive = std::unique_ptr<archive, ArchiveWriteFree>;
using Entry = std::unique_ptr<archive_entry, EntryFree>;

bool fail(std::string* error, const std::string& message) {
    if (error) {
        *error = message;
    }
    return false;
}

std::string archiveError(archive* a) {
    const char* text = archive_error_string(a);
    return text ? text : "unknown archive error";
}

// Streams one regular file into the archive, a block at a time.
bool copyFileInto(archive* out, const fs::path& file, std::string* error) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return fail(error, file.string() + ": " + std::strerror(errno));
    }
    auto buffer = std::make_unique<char[]>(kBlock);
    while (true) {
        const ssize_t n = ::read(fd, buffer.get(), kBlock);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int code = errno;
            ::close(fd);
            return fail(error, file.string() + ": " + std::strerror(code));
        }
        if (n == 0) {
            break;
        }
        if (archive_write_data(out, buffer.get(), static_cast<std::size_t>(n)) != n) {
            ::close(fd);
            return fail(error, archiveError(out));
        }
    }
    ::close(fd);
    return true;
}

// When the files of every image were last changed, as far as the image tells.
constexpr time_t kImageEntryTime = 1600963200;  // 2020-09-24

bool addEntry(archive* out, const fs::path& hostPath, const std::string& name, std::string* error) {
    struct stat info {};
    if (::lstat(hostPath.c_str(), &info) != 0) {
        return fail(error, hostPath.string() + ": " + std::strerror(errno));
    }
    Entry entry(archive_entry_new());
    archive_entry_copy_pathname(entry.get(), name.c_str());
    archive_entry_copy_stat(entry.get(), &info);
    // The same files make the same image, whenever it is made: a mirror made twice from one
    // seed serves the same bytes, so runs against the two can be compared file by file.
    archive_entry_set_mtime(entry.get(), kImageEntryTime, 0);
    archive_entry_unset_atime(entry.get());
    archive_entry_unset_ctime(entry.get());
    archive_entry_unset_birthtime(entry.get());
    // The image holds files, not their owners: whoever attaches it owns what appears.
    archive_entry_set_uid(entry.get(), 0);
    archive_entry_set_gid(entry.get(), 0);
    if (S_ISLNK(info.st_mode)) {
        std::error_code ec;
        const fs::path target = fs::read_symlink(hostPath, ec);
        if (ec) {
            return fail(error, hostPath.string() + ": " + ec.message());
        }
        archive_entry_copy_symlink(entry.get(), target.c_str());
        archive_entry_set_size(entry.get(), 0);
    } else if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
        return true;  // sockets, devices and pipes have no place in an image
    }
    if (archive_write_header(out, entry.get()) != ARCHIVE_OK) {
        return fail(error, archiveError(out));
    }
    if (S_ISREG(info.st_mode) && info.st_size > 0 && !copyFileInto(out, hostPath, error)) {
        return false;
    }
    return true;
}

// A relative path without any ".." step: it can only lead down from where it starts, also
// when it passes through links written by the same rule.
bool staysInside(const std::string& relative) {
    if (relative.empty() || relative.front() == '/') {
        return false;
    }
    const fs::path path(relative);
    return std::none_of(path.begin(), path.end(),
                        [](const fs::path& part) { return part == ".."; });
}

}  // namespace

bool writeDiskImage(const fs::path& folder, const fs::path& image, std::string* error) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        return fail(error, folder.string() + ": not a folder");
    }
    const fs::path partial = image.string() + ".partial";
    WriteArchive out(archive_write_new());
    archive_write_set_format_pax_restricted(out.get());
    if (archive_write_open_filename(out.get(), partial.c_str()) != ARCHIVE_OK) {
        return fail(error, archiveError(out.get()));
    }
    // Sorted, so the same folder always gives the same image.
    std::vector<fs::path> paths;
    for (auto it = fs::recursive_directory_iterator(folder, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        paths.push_back(it->path());
    }
    if (ec) {
        fs::remove(partial, ec);
        return fail(error, folder.string() + ": " + ec.message());
    }
    std::sort(paths.begin(), paths.end());
    for (const auto& path : paths) {
        if (!addEntry(out.get(), path, path.lexically_relative(folder).string(), error)) {
            out.reset();
            fs::remove(partial, ec);
            return false;
        }
    }
    if (archive_write_close(out.get()) != ARCHIVE_OK) {
        const std::string message = archiveError(out.get());
        out.reset();
        fs::remove(partial, ec);
        return fail(error, message);
    }
    out.reset();
    fs::rename(partial, image, ec);
    if (ec) {
        fs::remove(partial, ec);
        return fail(error, image.string() + ": " + ec.message());
    }
    return true;
}

bool extractDiskImage(const fs::path& image, const fs::path& destination, std::string* error) {
    ReadArchive in(archive_read_new());
    archive_read_support_format_all(in.get());
    archive_read_support_filter_all(in.get());
    if (archive_read_open_filename(in.get(), image.c_str(), kBlock) != ARCHIVE_OK) {
        return fail(error, image.string() + ": " + archiveError(in.get()));
    }
    WriteArchive out(archive_write_disk_new());
    // Entries are checked one by one below (paths and link targets stay inside), so the
    // destination itself may lie under a symbolic link.
    archive_write_disk_set_options(
        out.get(), ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_NODOTDOT);
    const fs::path root = fs::absolute(destination).lexically_normal();
    std::error_code ec;
    fs::create_directories(root, ec);
    while (true) {
        archive_entry* entry = nullptr;
        const int status = archive_read_next_header(in.get(), &entry);
        if (status == ARCHIVE_EOF) {
            break;
        }
        if (status != ARCHIVE_OK && status != ARCHIVE_WARN) {
            return fail(error, image.string() + ": " + archiveError(in.get()));
        }
        const char* pathname = archive_entry_pathname(entry);
        const std::string name = pathname ? pathname : "";
        const char* symlink = archive_entry_symlink(entry);
        const char* hardlink = archive_entry_hardlink(entry);
        if (!staysInside(name) || (symlink && !staysInside(symlink)) ||
            (hardlink && !staysInside(hardlink))) {
            return fail(error,
                        image.string() + ": the entry " + name + " points outside the image");
        }
        archive_entry_copy_pathname(entry, (root / name).c_str());
        if (hardlink) {
            archive_entry_copy_hardlink(entry, (root / hardlink).c_str());
        }
        if (archive_write_header(out.get(), entry) != ARCHIVE_OK) {
            return fail(error, archiveError(out.get()));
        }
        const void* block = nullptr;
        std::size_t size = 0;
        la_int64_t offset = 0;
        while (true) {
            const int read = archive_read_data_block(in.get(), &block, &size, &offset);
            if (read == ARCHIVE_EOF) {
                break;
            }
            if (read != ARCHIVE_OK) {
                return fail(error, image.string() + ": " + archiveError(in.get()));
            }
            if (archive_write_data_block(out.get(), block, size, offset) != ARCHIVE_OK) {
                return fail(error, archiveError(out.get()));
            }
        }
        if (archive_write_finish_entry(out.get()) != ARCHIVE_OK) {
            return fail(error, archiveError(out.get()));
        }
    }
    if (archive_write_close(out.get()) != ARCHIVE_OK) {
        return fail(error, archiveError(out.get()));
    }
    return true;
}

}  // namespace vantrel::sim
