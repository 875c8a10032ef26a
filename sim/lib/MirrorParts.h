#pragma once

// Pieces shared by the files that build a mirror (MirrorBuilder, MirrorRelease, MirrorFiller).

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "sim/lib/MirrorManifest.h"
#include "sim/lib/MirrorSpec.h"
#include "sim/lib/PackageWriter.h"

namespace vantrel::sim {

// The one source of chance of a mirror: the same seed makes the same mirror.
class MirrorRandom {
  public:
    explicit MirrorRandom(std::uint64_t seed) : engine_(seed) {}

    std::uint64_t next() { return engine_(); }
    // A whole number from `low` to `high`, both included.
    int between(int low, int high) {
        return low + static_cast<int>(engine_() % static_cast<std::uint64_t>(high - low + 1));
    }
    bool chance(int percent) { return between(1, 100) <= percent; }
    std::string token(std::size_t length);  // lower-case letters and digits
    std::string hex(std::size_t length);
    std::string productKey();  // "041-38217", never the same twice
    // Keeps a key given by the user from being made up again; false when already taken.
    bool reserveKey(const std::string& key) { return keys_.insert(key).second; }
    std::string postDate();  // "2019-07-22T18:34:51Z"

  private:
    std::mt19937_64 engine_;
    std::set<std::string> keys_;
};

// Where a mirror's files go and the URLs they are served at.
class MirrorLayout {
  public:
    MirrorLayout(std::filesystem::path folder, std::string baseURL)
        : folder_(std::move(folder)), baseURL_(std::move(baseURL)) {}

    // "/content/downloads/41/38/041-38217/<token>/": a product's own folder, as a URL path.
    std::string productPath(const std::string& key, MirrorRandom& random) const;
    std::filesystem::path host(const std::string& urlPath) const;
    std::string url(const std::string& urlPath) const { return baseURL_ + urlPath; }
    const std::filesystem::path& folder() const { return folder_; }

  private:
    std::filesystem::path folder_;
    std::string baseURL_;
};

// One product as the catalogs list it: "<key>KEY</key><dict>...</dict>", indented for the
// "Products" dictionary.
struct CatalogEntry {
    std::string key;
    std::string xml;
    std::set<int> catalogs;  // OS minor versions; empty: all four
};

inline constexpr int kProductDepth = 2;

// Writes a release product's packages, distribution files and server metadata, and returns
// its catalog entry; records its URLs and the server rules its faults need in `manifest`.
// `scratch` is a private folder for building the installer application.
CatalogEntry buildReleaseProduct(const ReleaseSpec& release, const MirrorLayout& layout,
                                 MirrorRandom& random, FillKind fill,
                                 const std::filesystem::path& scratch, MirrorManifest& manifest,
                                 std::ostream& log);

// The products besides the releases: ordinary updates, installers of other releases (whose
// distribution files and server metadata are on the mirror, their packages not), and products
// of odd shapes. Made one at a time, so a catalog of any size is written in small memory.
class FillerProducts {
  public:
    FillerProducts(const MirrorSpec& spec, const MirrorLayout& layout, MirrorRandom& random);
    std::size_t count() const { return kinds_.size(); }
    CatalogEntry next();

    enum class Kind {
        Update,
        Decoy,
        OSInstallDiffers,
        MetaWithoutIdentifiers,
        IdentifiersWithoutOSInstall,
        OSInstallNotText,
        MetaNotDict,
        IdentifiersNotDict,
        ProductNotDict
    };

  private:
    CatalogEntry update(MirrorRandom& random, const std::string& key, int packages,
                        bool withMeta) const;
    CatalogEntry decoy(const std::string& key);
    CatalogEntry odd(const std::string& key, Kind kind);
    void calibrate(const MirrorSpec& spec);

    const MirrorLayout& layout_;
    MirrorRandom& random_;
    std::vector<Kind> kinds_;
    std::size_t position_ = 0;
    std::vector<std::string> boardIds_;
    int packagesPerUpdate_ = 0;  // 0: a few, by chance
};

}  // namespace vantrel::sim
