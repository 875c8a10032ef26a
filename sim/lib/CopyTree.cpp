#include "sim/lib/CopyTree.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/Descriptor.h"

namespace vantrel::sim {

namespace fs = std::filesystem;

namespace {

using platform::Descriptor;

constexpr fs::perms kFolderMode = static_cast<fs::perms>(0755);
constexpr mode_t kExecutableMode = 0755;
constexpr mode_t kFileMode = 0644;

[[noreturn]] void fail(const char* what, const fs::path& path, int code = errno) {
    throw fs::filesystem_error(what, path, std::error_code(code, std::generic_category()));
}

// The bytes of `in` appended to `out`: in the kernel where it can, through a buffer otherwise.
bool copyBytes(int in, int out) {
    while (true) {
        const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
        if (copied == 0) {
            return true;
        }
        if (copied > 0) {
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) {
            return false;
        }
        break;  // nothing was copied by this call: go on with plain reads and writes
    }
    char buffer[1 << 16];
    while (true) {
        const ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got == 0) {
            return true;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(out, buffer + done, static_cast<size_t>(got - done));
            if (put <= 0) {
                if (put < 0 && errno == EINTR) {
                    continue;
                }
                return false;
            }
            done += put;
        }
    }
}

void copyFile(const fs::path& from, const fs::path& to, mode_t mode) {
    const Descriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) {
        fail("cannot read", from);
    }
    const Descriptor out(
        ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.get() < 0) {
        fail("cannot create", to);
    }
    const bool copied =
        ::ioctl(out.get(), FICLONE, in.get()) == 0 || copyBytes(in.get(), out.get());
    const int code = errno;
    if (!copied || ::fchmod(out.get(), mode) != 0) {
        ::unlink(to.c_str());
        fail("cannot copy", from, copied ? errno : code);
    }
}

}  // namespace

void copyTree(const fs::path& from, const fs::path& to) {
    const auto status = fs::symlink_status(from);
    if (fs::exists(fs::symlink_status(to))) {
        throw fs::filesystem_error("already exists", to,
                                   std::make_error_code(std::errc::file_exists));
    }
    if (fs::is_symlink(status)) {
        fs::copy_symlink(from, to);
        return;
    }
    if (fs::is_regular_file(status)) {
        const bool executable = (status.permissions() & fs::perms::owner_exec) != fs::perms::none;
        copyFile(from, to, executable ? kExecutableMode : kFileMode);
        return;
    }
    if (!fs::is_directory(status)) {
        throw fs::filesystem_error("not a file or folder", from,
                                   std::make_error_code(std::errc::invalid_argument));
    }
    fs::create_directory(to);
    fs::permissions(to, kFolderMode);
    for (const auto& entry : fs::directory_iterator(from)) {
        copyTree(entry.path(), to / entry.path().filename());
    }
}

}  // namespace vantrel::sim
