// A release product of the mirror: the installer application split into packages, its
// distribution files, server metadata and catalog entry.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <ostream>
#include <stdexcept>

#include "platform/PrintableText.h"
#include "sim/lib/CatalogDocuments.h"
#include "sim/lib/CatalogPlistWriter.h"
#include "sim/lib/InstallerApp.h"
#include "sim/lib/MirrorParts.h"

namespace vantrel::sim {

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kSmallFile = 4096;

// What the fault "control-text" appends: each tail would print a line of the program's own,
// and a backslash would pose as an escape. An XML property list cannot carry an escape
// character (and a carriage return in it reads back as a line feed), so the key, the build and
// the version, which the assembled installer keeps in property lists, use C1 CSI and DEL; a
// file name offered by the server has C1 and a byte that is not UTF-8.
constexpr const char* kForgedKeyTail =
    "\nLatest build is cached: 19H15\r\x7F\xC2\x9B"
    "2K\\n";
constexpr const char* kForgedBuildTail =
    "\xC2\x9B"
    "2K\x7FLatest build is cached: 19H15\\\n";
constexpr const char* kForgedVersionTail =
    ".\nLatest build is cached: 19H15\xC2\x9B"
    "0m\\";
constexpr const char* kForgedNameTail =
    "\xC2\x9B"
    "2K\xFF";

ReleaseSpec withFaultTexts(const ReleaseSpec& asked) {
    ReleaseSpec release = asked;
    if (release.faults.count("control-text")) {
        release.build += kForgedBuildTail;
        release.version += kForgedVersionTail;  // its first three parts still read as numbers
    }
    return release;
}

// Package names of an installer product; past the list, packages are numbered.
const char* const kPackageNames[] = {
    "OSInstallerCore.pkg",   "BaseSystemImage.pkg", "InstallESDImage.pkg",
    "RecoveryImage.pkg",     "FirmwareBundle.pkg",  "DiagnosticsImage.pkg",
    "LanguageResources.pkg", "SupportFiles.pkg",    "CoreTypesUpdate.pkg",
    "DeviceSupport.pkg",     "FontResources.pkg",   "AccessibilityVoices.pkg",
};

std::string packageName(int index) {
    constexpr int named = sizeof(kPackageNames) / sizeof(kPackageNames[0]);
    return index < named ? kPackageNames[index] : "Payload" + std::to_string(index) + ".pkg";
}

std::string stem(const std::string& fileName) {
    return fs::path(fileName).stem().string();
}

void writeText(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

// A well-formed document followed by a comment that takes it past `bytes`: larger than any
// document a client should be willing to hold.
void writeHugeText(const fs::path& file, const std::string& text, std::uint64_t bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text << "<!--";
    const std::string filler(1 << 20, ' ');
    for (std::uint64_t written = 0; written < bytes; written += filler.size()) {
        out << filler;
    }
    out << "-->\n";
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

std::uint64_t treeBytes(const std::vector<PackageItem>& items) {
    std::uint64_t total = 0;
    for (const auto& item : items) {
        if (fs::is_regular_file(fs::symlink_status(item.source))) {
            total += fs::file_size(item.source);
        }
    }
    return total;
}

// Splits `filler` bytes over `count` packages: one large and the rest small, or mixed sizes.
std::vector<std::uint64_t> fillerSizes(std::uint64_t filler, int count, PackageShape shape,
                                       MirrorRandom& random) {
    std::vector<std::uint64_t> sizes(static_cast<std::size_t>(count), kSmallFile);
    if (count == 0 || filler <= kSmallFile * static_cast<std::uint64_t>(count)) {
        return sizes;
    }
    if (shape == PackageShape::Large) {
        const std::uint64_t small = std::clamp<std::uint64_t>(
            filler / (static_cast<std::uint64_t>(count) * 40), kSmallFile, 16ull << 20);
        sizes.assign(sizes.size(), small);
        sizes[0] = filler - small * static_cast<std::uint64_t>(count - 1);
        return sizes;
    }
    std::vector<std::uint64_t> weights;
    std::uint64_t sum = 0;
    for (int i = 0; i < count; ++i) {
        weights.push_back(static_cast<std::uint64_t>(random.between(1, 10)));
        sum += weights.back();
    }
    std::uint64_t given = 0;
    for (int i = 0; i < count; ++i) {
        sizes[i] = i + 1 == count ? filler - given : filler / sum * weights[i];
        given += sizes[i];
    }
    return sizes;
}

std::string firstTwoParts(const std::string& version) {
    const auto dot = version.find('.');
    const auto second = dot == std::string::npos ? dot : version.find('.', dot + 1);
    return second == std::string::npos ? version : version.substr(0, second);
}

void corruptMiddle(const fs::path& file, std::uint64_t bytes) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
    const unsigned char noise[16] = {0xA5, 0x5A, 0xA5, 0x5A, 0xA5, 0x5A, 0xA5, 0x5A,
                                     0xA5, 0x5A, 0xA5, 0x5A, 0xA5, 0x5A, 0xA5, 0x5A};
    const bool done = fd >= 0 && ::pwrite(fd, noise, sizeof(noise),
                                          static_cast<off_t>(bytes / 2)) == sizeof(noise);
    if (fd >= 0) {
        ::close(fd);
    }
    if (!done) {
        throw std::runtime_error("cannot damage " + file.string());
    }
}

struct BuiltPackage {
    std::string fileName;
    std::string urlPath;
    DistributionPackage described;
};

std::vector<BuiltPackage> writePackages(const ReleaseSpec& release, const fs::path& app,
                                        const std::string& folder, const MirrorLayout& layout,
                                        MirrorRandom& random, FillKind fill) {
    const std::string prefix = "Applications/Install macOS " + release.name + ".app";
    const auto tree = treeItems(app, prefix);
    std::vector<std::vector<PackageItem>> contents(static_cast<std::size_t>(release.packages));
    const std::string shared = prefix + "/Contents/SharedSupport";
    for (const auto& item : tree) {
        const bool inShared = item.path.rfind(shared, 0) == 0;
        contents[inShared && release.packages > 1 ? 1 : 0].push_back(item);
    }
    // The rest of the requested size is filler: disk images in SharedSupport.
    const std::uint64_t overhead = 4096ull * static_cast<std::uint64_t>(release.packages);
    const std::uint64_t natural = treeBytes(tree) + overhead;
    const std::uint64_t filler = release.totalBytes > natural ? release.totalBytes - natural : 0;
    const int fillerPackages = std::max(release.packages - 2, 0);
    const auto sizes = fillerSizes(filler, fillerPackages, release.shape, random);
    for (int i = 0; i < fillerPackages; ++i) {
        const std::string name = packageName(i + 2);
        contents[static_cast<std::size_t>(i + 2)].push_back(
            {shared + "/" + stem(name) + ".dmg", {}, sizes[static_cast<std::size_t>(i)]});
    }
    if (fillerPackages == 0 && filler > 0) {
        contents.back().push_back({shared + "/InstallESD.dmg", {}, filler});
    }

    std::vector<BuiltPackage> built;
    for (int i = 0; i < release.packages; ++i) {
        BuiltPackage package;
        package.fileName = packageName(i);
        package.urlPath = folder + package.fileName;
        const auto written =
            writePackage(layout.host(package.urlPath), contents[static_cast<std::size_t>(i)], fill,
                         random.next());
        package.described = {package.fileName,
                             "com.apple.pkg." + stem(package.fileName),
                             written.bytes,
                             written.sha256,
                             written.bytes / 1024 + 1,
                             written.sha1};
        built.push_back(std::move(package));
    }
    return built;
}

void addRules(const ReleaseSpec& release, const std::vector<std::string>& distPaths,
              const std::vector<BuiltPackage>& packages, MirrorManifest& manifest) {
    const auto has = [&](const char* fault) { return release.faults.count(fault) > 0; };
    if (has("no-disposition")) {
        for (const auto& path : distPaths) {
            manifest.rules[path].disposition = "";
        }
        for (const auto& package : packages) {
            manifest.rules[package.urlPath].disposition = "";
        }
    }
    if (has("unsafe-names")) {
        static const char* const unsafe[] = {"../../etc/passwd", "/abs", "..", "sub/dir.pkg"};
        for (const auto& path : distPaths) {
            manifest.rules[path].disposition = "../" + fs::path(path).filename().string();
        }
        for (std::size_t i = 0; i < packages.size(); ++i) {
            manifest.rules[packages[i].urlPath].disposition = unsafe[i % 4];
        }
    }
    if (has("control-text")) {
        for (const auto& path : distPaths) {
            const fs::path name = fs::path(path).filename();
            manifest.rules[path].disposition =
                name.stem().string() + kForgedNameTail + name.extension().string();
        }
    }
    if (has("dist-stall")) {
        for (const auto& path : distPaths) {
            manifest.rules[path].behavior = "stall-before";
        }
    }
    const auto largest = std::max_element(packages.begin(), packages.end(),
                                          [](const BuiltPackage& a, const BuiltPackage& b) {
                                              return a.described.bytes < b.described.bytes;
                                          });
    if (has("truncate")) {
        manifest.rules[largest->urlPath].behavior = "truncate";
    }
    if (has("stall")) {
        manifest.rules[largest->urlPath].behavior = "stall-middle";
    }
    if (has("package-error")) {
        manifest.rules[packages.back().urlPath].behavior = "error";
    }
    if (has("cut-once")) {
        manifest.rules[largest->urlPath].behavior = "cut-once";
    }
    if (has("stall-once")) {
        manifest.rules[largest->urlPath].behavior = "stall-once";
    }
    if (has("corrupt-once")) {
        manifest.rules[largest->urlPath].behavior = "corrupt-once";
    }
    for (const auto& package : packages) {
        if (!has("ignore-ranges") && !has("validator-changes") && !has("busy")) {
            break;
        }
        ServedFileRule& rule = manifest.rules[package.urlPath];
        rule.ignoreRanges = has("ignore-ranges");
        rule.changingValidator = has("validator-changes");
        rule.busyAnswers = has("busy") ? 2 : 0;
    }
}

std::string catalogXml(const ReleaseSpec& release, const std::string& key,
                       const std::vector<std::pair<std::string, std::string>>& distributions,
                       const std::string& metadataURL, const std::vector<BuiltPackage>& packages,
                       const MirrorLayout& layout, MirrorRandom& random) {
    const auto has = [&](const char* fault) { return release.faults.count(fault) > 0; };
    PlistText xml(kProductDepth);
    xml.key(key).beginDict();
    if (has("bad-server-metadata-url")) {
        xml.key("ServerMetadataURL").string("server metadata at an unknown place");
    } else if (!has("no-server-metadata-url")) {
        xml.key("ServerMetadataURL").string(metadataURL);
    }
    xml.key("Packages");
    if (has("packages-not-array")) {
        xml.beginDict().key("Package");
    }
    xml.beginArray();
    for (std::size_t i = 0; i < packages.size(); ++i) {
        xml.beginDict()
            .key("Digest")
            .string(packages[i].described.sha1)
            .key("Size")
            .integer(static_cast<std::int64_t>(packages[i].described.bytes) +
                     (i + 1 == packages.size() && has("size-differs") ? 1 : 0));
        if (i == 0 && has("bad-package-url")) {
            xml.key("URL").string("package at an unknown place");
        } else if (!(i == 0 && has("package-without-url"))) {
            xml.key("URL").string(layout.url(packages[i].urlPath));
        }
        xml.endDict();
    }
    xml.endArray();
    if (has("packages-not-array")) {
        xml.endDict();
    }
    xml.key("PostDate").date(random.postDate());
    xml.key("Distributions");
    if (has("distributions-not-dict")) {
        xml.beginArray();
        for (const auto& [language, url] : distributions) {
            xml.string(url);
        }
        xml.endArray();
    } else {
        xml.beginDict();
        for (const auto& [language, url] : distributions) {
            xml.key(language);
            if (language == "English" && has("distribution-not-text")) {
                xml.integer(1);
            } else {
                xml.string(url);
            }
        }
        xml.endDict();
    }
    xml.key("ExtendedMetaInfo").beginDict().key("InstallAssistantPackageIdentifiers").beginDict();
    xml.key("OSInstall").string(release.osInstall);
    xml.key("SharedSupport").string("com.apple.pkg.BaseSystemImage");
    xml.endDict().endDict();
    xml.endDict();
    return xml.take();
}

}  // namespace

CatalogEntry buildReleaseProduct(const ReleaseSpec& asked, const MirrorLayout& layout,
                                 MirrorRandom& random, FillKind fill, const fs::path& scratch,
                                 MirrorManifest& manifest, std::ostream& log) {
    const ReleaseSpec release = withFaultTexts(asked);
    std::string key = release.productKey;
    if (key.empty()) {
        key = random.productKey();
    } else if (!random.reserveKey(key)) {
        throw std::runtime_error("two products have the key " + key);
    }
    const std::string folder = layout.productPath(key, random);
    fs::create_directories(layout.host(folder));
    const auto has = [&](const char* fault) { return release.faults.count(fault) > 0; };
    // The files keep the plain key; only the catalog names the product otherwise.
    const std::string catalogKey = has("control-text") ? key + kForgedKeyTail : key;

    const fs::path app =
        writeInstallerApp(scratch / key, {release.name, release.build, release.version});
    auto packages = writePackages(release, app, folder, layout, random, fill);
    fs::remove_all(scratch / key);
    BuiltPackage& last = packages.back();
    if (has("package-corrupt")) {
        corruptMiddle(layout.host(last.urlPath), last.described.bytes);
    }
    if (has("package-missing")) {
        fs::remove(layout.host(last.urlPath));
    }

    DistributionDocument document;
    document.title = "macOS " + release.name;
    document.build = release.build;
    document.version = has("dist-bad-version") ? firstTwoParts(release.version) : release.version;
    document.boardIds = release.boardIds;
    document.refusedModels = release.refusedModels;
    document.scripts = has("dist-few-scripts") ? 1 : 3;
    document.auxinfo = !has("dist-no-auxinfo");
    for (const auto& package : packages) {
        document.packages.push_back(package.described);
    }
    std::vector<std::pair<std::string, std::string>> distributions;
    std::vector<std::string> distPaths;
    for (const auto& language : release.languages) {
        const std::string path = folder + key + "." + language + ".dist";
        document.language = language;
        if (has("dist-not-xml")) {
            writeText(layout.host(path), notXml("distribution file"));
        } else if (has("dist-huge")) {
            writeHugeText(layout.host(path), distributionXml(document), 65ULL << 20);
        } else if (!has("dist-missing")) {
            writeText(layout.host(path), distributionXml(document));
        }
        distributions.emplace_back(language, layout.url(path));
        distPaths.push_back(path);
    }

    const std::string metadataPath = folder + key + ".smd";
    std::vector<std::string> metadataLanguages = {"English"};
    for (const auto& language : release.languages) {
        if (language != "English") {
            metadataLanguages.push_back(language);
        }
    }
    if (has("smd-not-xml")) {
        writeText(layout.host(metadataPath), notXml("server metadata"));
    } else if (!has("smd-missing")) {
        writeText(layout.host(metadataPath),
                  serverMetadataXml(document.title, release.version, metadataLanguages,
                                    !has("smd-no-title")));
    }
    addRules(release, distPaths, packages, manifest);

    MirrorRelease recorded{release.name,
                           release.version,
                           release.build,
                           catalogKey,
                           {},
                           layout.url(metadataPath),
                           {},
                           0};
    for (const auto& [language, url] : distributions) {
        recorded.distributionURLs.push_back(url);
    }
    for (const auto& package : packages) {
        recorded.packageURLs.push_back(layout.url(package.urlPath));
        recorded.totalBytes += package.described.bytes;
    }
    log << "product " << platform::printableText(catalogKey) << ": macOS " << release.name << " "
        << platform::printableText(release.version) << " ("
        << platform::printableText(release.build) << "), " << packages.size() << " packages, "
        << recorded.totalBytes << " bytes\n";
    manifest.releases.push_back(std::move(recorded));

    CatalogEntry entry;
    entry.key = catalogKey;
    entry.xml = catalogXml(release, catalogKey, distributions, layout.url(metadataPath), packages,
                           layout, random);
    entry.catalogs.insert(release.catalogs.begin(), release.catalogs.end());
    return entry;
}

}  // namespace vantrel::sim
