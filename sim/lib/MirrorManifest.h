#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::sim {

// How the server treats one file of the mirror, when not in the ordinary way.
struct ServedFileRule {
    // The file name offered in Content-Disposition; absent: the last part of the URL path for
    // packages and distribution files, none for other files; empty: none at all.
    std::optional<std::string> disposition;
    // "" (serve it), "stall-before" (send nothing, hold the connection), "stall-middle" (send
    // half, then nothing), "truncate" (send half, then close), "error" (answer 500),
    // "cut-once" and "stall-once" (the first answer as "truncate" and "stall-middle", every
    // later one whole), "corrupt-once" (the first answer with its middle byte changed).
    std::string behavior;
    // Range requests are answered with the whole file.
    bool ignoreRanges = false;
    // Every answer carries another validator (ETag, Last-Modified), as after a new upload.
    bool changingValidator = false;
    // The first this many requests are answered 503 (busy).
    std::uint64_t busyAnswers = 0;
};

// What the mirror holds for one release product, with absolute URLs.
struct MirrorRelease {
    std::string name;
    std::string version;
    std::string build;
    std::string productKey;
    std::vector<std::string> distributionURLs;  // in the order of "Distributions"
    std::string serverMetadataURL;
    std::vector<std::string> packageURLs;
    std::uint64_t totalBytes = 0;  // of all packages
};

// Mirror.plist at the top of the mirror folder: written by `vantrel-sim mirror`, read by
// `vantrel-sim serve`, and by tests and benchmarks that want to know what is in the mirror.
struct MirrorManifest {
    std::string baseURL;  // "https://localhost:8443": every URL in the documents starts with it
    std::vector<MirrorRelease> releases;
    std::map<std::string, ServedFileRule> rules;  // by URL path ("/content/...")
    std::uint64_t products = 0;                   // in each catalog
};

inline constexpr const char* kManifestFile = "Mirror.plist";
// The folder of the mirror that the server publishes; nothing outside it is served.
inline constexpr const char* kContentFolder = "content";
// The server's key and certificate, kept beside the content so that they outlive a server run.
inline constexpr const char* kServerIdentityFile = "ServerIdentity.pem";

void writeManifest(const std::filesystem::path& mirror, const MirrorManifest& manifest);
// Throws std::runtime_error when the folder holds no readable manifest.
MirrorManifest readManifest(const std::filesystem::path& mirror);

// The catalog URL paths, by OS minor version 13 to 16.
const std::map<int, std::string>& catalogPaths();

}  // namespace vantrel::sim
