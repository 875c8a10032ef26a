#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform/MacRoot.h"

namespace vantrel::net {

// Where package files wait between runs: a folder of root's own (0700) beside the download
// folder, holding per URL the bytes that arrived (whole or not) and what they were fetched
// as (URL, size promised by the catalog, the server's validator). A run that is killed or
// loses the network leaves its files here; the next one continues them. Every operation works
// relative to the folder opened once, and none follows a symbolic link.
class ResumeStore {
  public:
    // The name the store gives a URL's files: a URL may hold anything, a name may not. A
    // stable 128-bit hash; the URL itself is kept beside the bytes and checked, so two URLs
    // that shared a name would only start each other's file over.
    static std::string keyOf(const std::string& url);

    struct Entry {
        std::string url;
        std::int64_t expectedSize = -1;
        std::string validator;  // ETag or Last-Modified; empty: the bytes cannot be continued
    };

    // The store at `macFolder`, made root's own (0700) when missing; null, with the reason in
    // `whyNot`, when a link or anything but a folder of root's stands there.
    static std::shared_ptr<ResumeStore> open(const platform::MacRoot& root,
                                             const std::string& macFolder, std::string* whyNot);
    ~ResumeStore();
    ResumeStore(const ResumeStore&) = delete;
    ResumeStore& operator=(const ResumeStore&) = delete;

    // Keeps only the files of `urls` that changed at `oldest` or later; anything else there
    // (other products' files, strays, links) goes.
    void prune(const std::set<std::string>& urls,
               std::chrono::system_clock::time_point oldest) const;
    // What is recorded for `url`, when its bytes are there too.
    std::optional<Entry> find(const std::string& url) const;
    // `url`'s bytes, opened for reading and writing (made empty when missing); -1 on failure,
    // with errno set. The caller closes it.
    int openData(const std::string& url) const;
    // Records what `entry.url`'s bytes are; false when it cannot be written.
    bool record(const Entry& entry) const;
    // Makes `url`'s bytes appear at `target` (a host path on the same disk) without copying
    // them; false when the disk cannot.
    bool linkData(const std::string& url, const std::filesystem::path& target) const;
    // Moves `url`'s bytes to `target`, out of the store.
    bool moveData(const std::string& url, const std::filesystem::path& target) const;
    void remove(const std::string& url) const;
    // Empties the store.
    void clear() const;

  private:
    explicit ResumeStore(int folder) : folder_(folder) {}
    int folder_;  // the store, opened once
};

}  // namespace vantrel::net
