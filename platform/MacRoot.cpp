#include "platform/MacRoot.h"

#include <system_error>

namespace vantrel::platform {

namespace fs = std::filesystem;

MacRoot::MacRoot(fs::path hostRoot)
    : hostRoot_(fs::absolute(std::move(hostRoot)).lexically_normal()) {
    // A trailing separator would make host("/x") produce "R//x" comparisons fail in mac().
    if (hostRoot_.has_relative_path() && !hostRoot_.has_filename()) {
        hostRoot_ = hostRoot_.parent_path();
    }
}

std::optional<MacRoot> MacRoot::discoverFrom(const fs::path& executable) {
    std::error_code ec;
    fs::path dir = fs::weakly_canonical(executable, ec);
    if (ec) {
        dir = fs::absolute(executable);
    }
    dir = dir.parent_path();
    while (true) {
        if (fs::exists(dir / std::string(kMarkerFile), ec)) {
            return MacRoot(dir);
        }
        if (dir == dir.root_path() || dir.empty()) {
            return std::nullopt;
        }
        dir = dir.parent_path();
    }
}

fs::path MacRoot::thisExecutable() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : exe;
}

std::optional<MacRoot> MacRoot::discoverForThisProcess() {
    fs::path exe = thisExecutable();
    if (exe.empty()) {
        return std::nullopt;
    }
    return discoverFrom(exe);
}

fs::path MacRoot::host(std::string_view macPath) const {
    std::string_view rest = macPath;
    while (!rest.empty() && rest.front() == '/') {
        rest.remove_prefix(1);
    }
    return rest.empty() ? hostRoot_ : hostRoot_ / fs::path(rest);
}

std::string MacRoot::mac(const fs::path& hostPath) const {
    const std::string root = hostRoot_.string();
    const std::string path = hostPath.string();
    if (path == root) {
        return "/";
    }
    if (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
        path[root.size()] == '/') {
        return path.substr(root.size());
    }
    return path;
}

}  // namespace vantrel::platform
