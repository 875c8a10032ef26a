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
