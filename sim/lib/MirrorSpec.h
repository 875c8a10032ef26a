#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::sim {

// How a product's filler bytes are spread over its packages: one large package and a few
// small ones, or several packages of mixed sizes.
enum class PackageShape { Mixed, Large };

// One OS installer product of the mirror, with its documents and packages.
struct ReleaseSpec {
    std::string name;                        // release name; the product's title is "macOS <name>"
    std::string version;                     // "10.15.7"
    std::string build;                       // "19H15"
    std::string productKey;                  // empty: one is made up
    std::vector<std::string> boardIds;       // listed in the first distribution script
    std::vector<std::string> refusedModels;  // listed in the third distribution script
    std::vector<std::string> languages;      // keys of "Distributions", in this order
    std::vector<int> catalogs;               // OS minor versions whose catalogs list it
    int packages = 9;
    std::uint64_t totalBytes = 8ull << 20;  // approximate size of all packages together
    PackageShape shape = PackageShape::Mixed;
    std::string osInstall = "com.apple.mpkg.OSInstall";
    std::set<std::string> faults;  // names from releaseFaults()
};

// What a whole mirror holds.
struct MirrorSpec {
    std::string baseURL = "https://localhost:8443";
    std::vector<ReleaseSpec> releases;
    int fillerProducts = 20;         // products besides the releases
    double decoyPercent = 3.0;       // share of the filler that are installers of other releases
    std::uint64_t catalogBytes = 0;  // approximate size of each catalog; 0: what the products make
    bool oddShapes =
        false;  // add catalog entries of broken shapes (some make the program say "no")
    std::string catalogFault;  // one of catalogFaults(), or empty
    bool randomFill = false;   // filler bytes pseudo-random instead of zero (sparse on disk)
    std::uint64_t seed = 1;
};

struct FaultInfo {
    const char* name;
    const char* help;
};
const std::vector<FaultInfo>& releaseFaults();
const std::vector<FaultInfo>& catalogFaults();

// The default board ids that release products support: those of a default simulated Mac
// and a few invented others.
std::vector<std::string> defaultBoardIds();
std::vector<std::string> defaultRefusedModels();

// "Catalina:10.15.7:19H15 boards=Mac-1+Mac-2 refuse=MacBookPro9,1 size=1GiB ..." (see the
// mirror command's help). Fills in defaults for what is not given.
std::optional<ReleaseSpec> parseReleaseSpec(std::string_view text, std::string* error);

// "4096", "64K", "1.5MiB", "4G"; binary multiples. Absent for anything else.
std::optional<std::uint64_t> parseByteSize(std::string_view text);

// The release names the program accepts, with the version and build a mirror gives them
// when none is asked for.
struct KnownRelease {
    const char* name;
    const char* version;
    const char* build;
};
const std::vector<KnownRelease>& knownReleases();

}  // namespace vantrel::sim
