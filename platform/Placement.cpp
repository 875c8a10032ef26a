#include "platform/Placement.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

namespace vantrel::platform {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPlacing = ".vantrel-placing-";
constexpr std::string_view kReplaced = ".vantrel-replaced-";
constexpr std::string_view kRemoving = ".vantrel-removing-";

Error failure(const std::string& what, const std::string& macPath, int code) {
    return Error{"“" + fs::path(macPath).filename().string() + "” couldn’t be " + what + ": " +
                 std::strerror(code) + " (" + macPath + ")"};
}

// A new folder of root's alone inside `folder`, named `prefix` + random characters.
std::optional<fs::path> makePrivateFolder(const fs::path& folder, std::string_view prefix) {
    std::string pattern = (folder / (std::string(prefix) + "XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) {
        return std::nullopt;
    }
    return fs::path(pattern);
}

// Copies one item and what is inside it: folders and files with their modes, links as links.
// Answers the errno of the first failure (the library's own copy reports a full disk as an
// input/output error; an administrator needs to read "No space left on device").
std::optional<int> copyTree(const fs::path& from, const fs::path& to) {
    struct stat info {};
    if (::lstat(from.c_str(), &info) != 0) {
        return errno;
    }
    const mode_t mode = info.st_mode & 07777;
    if (S_ISLNK(info.st_mode)) {
        std::error_code ec;
        const fs::path target = fs::read_symlink(from, ec);
        if (ec) {
            return ec.value();
        }
        return ::symlink(target.c_str(), to.c_str()) == 0 ? std::nullopt : std::optional(errno);
    }
    if (S_ISDIR(info.st_mode)) {
        if (::mkdir(to.c_str(), 0700) != 0) {
            return errno;
        }
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(from, ec)) {
            if (const auto code = copyTree(entry.path(), to / entry.path().filename())) {
                return code;
            }
        }
        if (ec) {
            return ec.value();
        }
        return ::chmod(to.c_str(), mode) == 0 ? std::nullopt : std::optional(errno);
    }
    if (!S_ISREG(info.st_mode)) {
        return EINVAL;  // no devices or pipes in an application bundle
    }
    const int in = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) {
        return errno;
    }
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) {
        const int code = errno;
        ::close(in);
        return code;
    }
    std::optional<int> failed;
    std::vector<char> buffer(1 << 16);
    while (!failed) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got == 0) {
            break;
        }
        if (got < 0) {
            failed = errno;
            break;
        }
        for (ssize_t done = 0; done < got && !failed;) {
            const ssize_t put = ::write(out, buffer.data() + done, static_cast<size_t>(got - done));
            if (put < 0) {
                failed = errno;
            } else {
                done += put;
            }
        }
    }
    if (!failed && ::fchmod(out, mode) != 0) {
        failed = errno;
    }
    ::close(in);
    ::close(out);
    return failed;
}

// Copies `from` to `to` and writes everything on `to`'s volume to disk, so the copy is whole
// before anything is renamed onto it.
std::optional<int> copyToDisk(const fs::path& from, const fs::path& to) {
    if (const auto code = copyTree(from, to)) {
        return code;
    }
    const int fd = ::open(to.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    const int synced = ::syncfs(fd);
    const int code = errno;
    ::close(fd);
    return synced == 0 ? std::nullopt : std::optional<int>(code);
}

void removeQuietly(const fs::path& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
}

// Puts `staged` at `to` (same volume), moving an old `to` aside first and deleting it after.
// Answers the errno of a failure, with the old item put back.
std::optional<int> swapInto(const fs::path& staged, const fs::path& to,
                            const std::function<void(std::string_view)>& afterStep) {
    std::optional<fs::path> replaced;
    struct stat info {};
    if (::lstat(to.c_str(), &info) == 0) {
        replaced = makePrivateFolder(to.parent_path(), kReplaced);
        if (!replaced) {
            return errno;
        }
        if (::rename(to.c_str(), (*replaced / to.filename()).c_str()) != 0) {
            const int code = errno;
            removeQuietly(*replaced);
            return code;
        }
        afterStep("old item moved aside");
    }
    if (::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
        const int code = errno;
        if (replaced) {
            ::rename((*replaced / to.filename()).c_str(), to.c_str());
            removeQuietly(*replaced);
        }
        return code;
    }
    afterStep("new item in place");
    if (replaced) {
        removeQuietly(*replaced);
        afterStep("old item deleted");
    }
    return std::nullopt;
}

// Takes `from` out of sight in its own folder, then deletes it there.
void retire(const fs::path& from, const std::function<void(std::string_view)>& afterStep) {
    if (const auto folder = makePrivateFolder(from.parent_path(), kRemoving)) {
        if (::rename(from.c_str(), (*folder / from.filename()).c_str()) == 0) {
            afterStep("source out of sight");
            removeQuietly(*folder);
            return;
        }
        removeQuietly(*folder);
    }
    removeQuietly(from);
}

}  // namespace

std::optional<Error> placeItem(const MacRoot& root, const std::string& from, const std::string& to,
                               const std::function<void(std::string_view)>& afterStep) {
    const auto step = [&afterStep](std::string_view name) {
        if (afterStep) {
            afterStep(name);
        }
    };
    const fs::path hostFrom = root.host(from);
    const fs::path hostTo = root.host(to);
    struct stat info {};
    if (::lstat(hostFrom.c_str(), &info) != 0) {
        return failure("moved", from, errno);
    }
    if (::lstat(hostTo.parent_path().c_str(), &info) != 0) {
        return failure("moved", from, errno);
    }
    auto code = swapInto(hostFrom, hostTo, step);
    if (code != EXDEV) {
        return code ? std::optional(failure("moved", from, *code)) : std::nullopt;
    }
    // Another volume, or another mount of the same one: only a copy gets there. The old item
    // is back in place meanwhile.
    const auto placing = makePrivateFolder(hostTo.parent_path(), kPlacing);
    if (!placing) {
        return failure("copied", from, errno);
    }
    const fs::path staged = *placing / hostTo.filename();
    if (const auto copyCode = copyToDisk(hostFrom, staged)) {
        removeQuietly(*placing);
        return failure("copied", from, *copyCode);
    }
    step("copied to the destination's volume");
    code = swapInto(staged, hostTo, step);
    removeQuietly(*placing);  // empty once the copy is in place
    if (code) {
        return failure("moved", from, *code);
    }
    retire(hostFrom, step);
    step("source deleted");
    return std::nullopt;
}

void removePlacementLeftovers(const MacRoot& root, const std::string& folder) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root.host(folder), ec)) {
        const std::string name = entry.path().filename().string();
        for (const auto prefix : {kPlacing, kReplaced, kRemoving}) {
            if (name.rfind(prefix, 0) == 0) {
                removeQuietly(entry.path());
            }
        }
    }
}

}  // namespace vantrel::platform
