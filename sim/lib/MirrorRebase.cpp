#include "sim/lib/MirrorRebase.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace vantrel::sim {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kBlock = 1 << 20;

bool isDocument(const fs::path& file) {
    const auto extension = file.extension();
    return extension == ".sucatalog" || extension == ".dist" || extension == ".smd";
}

void rebaseFile(const fs::path& file, const std::string& from, const std::string& to) {
    const fs::path temporary = file.string() + ".rebase";
    {
        std::ifstream in(file, std::ios::binary);
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!in || !out) {
            throw std::runtime_error("cannot rewrite " + file.string());
        }
        replaceStreaming(in, out, from, to);
        if (!out.flush()) {
            throw std::runtime_error("cannot rewrite " + file.string());
        }
    }
    fs::rename(temporary, file);
}

std::string rebased(const std::string& url, const std::string& from, const std::string& to) {
    return url.rfind(from, 0) == 0 ? to + url.substr(from.size()) : url;
}

}  // namespace

void replaceStreaming(std::istream& in, std::ostream& out, const std::string& from,
                      const std::string& to) {
    std::vector<char> block(kBlock);
    std::string pending;
    while (in) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got == 0) {
            break;
        }
        pending.append(block.data(), got);
        std::string done;
        std::size_t position = 0;
        for (auto hit = pending.find(from); hit != std::string::npos;
             hit = pending.find(from, position)) {
            done.append(pending, position, hit - position);
            done += to;
            position = hit + from.size();
        }
        // The end may hold the start of a match that the next block completes.
        const std::size_t keep = std::min(from.size() - 1, pending.size() - position);
        done.append(pending, position, pending.size() - position - keep);
        out.write(done.data(), static_cast<std::streamsize>(done.size()));
        pending.erase(0, pending.size() - keep);
    }
    out.write(pending.data(), static_cast<std::streamsize>(pending.size()));
}

void rebaseMirror(const fs::path& mirror, MirrorManifest& manifest, const std::string& baseURL) {
    if (manifest.baseURL == baseURL) {
        return;
    }
    // URLs always go on with a path, so "https://h:84" never matches inside "https://h:8443".
    const std::string from = manifest.baseURL + "/";
    const std::string to = baseURL + "/";
    for (const auto& entry : fs::recursive_directory_iterator(mirror / kContentFolder)) {
        if (entry.is_regular_file() && isDocument(entry.path())) {
            rebaseFile(entry.path(), from, to);
        }
    }
    for (auto& release : manifest.releases) {
        for (auto& url : release.distributionURLs) {
            url = rebased(url, from, to);
        }
        release.serverMetadataURL = rebased(release.serverMetadataURL, from, to);
        for (auto& url : release.packageURLs) {
            url = rebased(url, from, to);
        }
    }
    manifest.baseURL = baseURL;
    writeManifest(mirror, manifest);
}

}  // namespace vantrel::sim
