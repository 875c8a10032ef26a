#include "sim/lib/FileTree.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace vantrel::sim {

namespace fs = std::filesystem;

namespace {

// Below this size a copy costs next to nothing and keeps the original safe from edits.
constexpr std::uintmax_t kLinkThreshold = 64 * 1024;

void placeFile(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    if (fs::file_size(from) >= kLinkThreshold) {
        fs::create_hard_link(from, to, ec);
        if (!ec) {
            return;
        }
    }
    fs::copy_file(from, to, fs::copy_options::none);
    fs::permissions(to, fs::status(from).permissions());
}

}  // namespace

void linkOrCopy(const fs::path& from, const fs::path& to) {
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
        placeFile(from, to);
        return;
    }
    if (!fs::is_directory(status)) {
        throw fs::filesystem_error("not a file or folder", from,
                                   std::make_error_code(std::errc::invalid_argument));
    }
    fs::create_directory(to);
    fs::permissions(to, status.permissions());
    for (const auto& entry : fs::directory_iterator(from)) {
        linkOrCopy(entry.path(), to / entry.path().filename());
    }
}

}  // namespace vantrel::sim
