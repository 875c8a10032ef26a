// The catalog's other products: updates, installers of other releases, and odd shapes.

#include <algorithm>
#include <cmath>
#include <fstream>
#include <stdexcept>

#include "sim/lib/CatalogDocuments.h"
#include "sim/lib/CatalogPlistWriter.h"
#include "sim/lib/MirrorParts.h"

namespace vantrel::sim {

namespace fs = std::filesystem;

namespace {

const char* const kUpdateNames[] = {
    "SecurityUpdate", "FirmwareUpdate", "PrinterDrivers", "AudioSupport",    "DisplaySupport",
    "BrowserUpdate",  "SystemData",     "CameraSupport",  "NetworkUpdate",   "CommandLineTools",
    "ScannerDrivers", "GraphicsUpdate", "StorageSupport", "BluetoothUpdate",
};

// Invented names of other releases, so that no installer of these is ever asked for.
const char* const kDecoyNames[] = {
    "Pinnacles", "Lassen", "Tahoma",  "Kestrel",  "Mariposa", "Shasta",
    "Redwood",   "Alpine", "Mendota", "Coronado", "Sequana",  "Tiburon",
};

const char* const kLanguages[] = {"English", "French", "German", "Japanese", "Spanish",
                                  "Italian", "Dutch",  "ko",     "zh_CN",    "pt"};

template <typename T, std::size_t N>
const T& pick(const T (&items)[N], MirrorRandom& random) {
    return items[random.next() % N];
}

void writeText(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

void packageDict(PlistText& xml, const std::string& url, MirrorRandom& random, bool withMeta) {
    xml.beginDict().key("Digest").string(random.hex(40));
    xml.key("Size").integer(random.between(4096, 900000000));
    if (withMeta) {
        xml.key("MetadataURL").string(url.substr(0, url.size() - 4) + ".pkm");
    }
    xml.key("URL").string(url).endDict();
}

}  // namespace

FillerProducts::FillerProducts(const MirrorSpec& spec, const MirrorLayout& layout,
                               MirrorRandom& random)
    : layout_(layout), random_(random) {
    const int total = std::max(spec.fillerProducts, 0);
    const int decoys = std::min<int>(
        total, static_cast<int>(std::llround(total * std::max(spec.decoyPercent, 0.0) / 100.0)));
    kinds_.assign(static_cast<std::size_t>(total), Kind::Update);
    std::fill_n(kinds_.begin(), decoys, Kind::Decoy);
    // Products that a careful reader skips without a word belong to every catalog.
    if (total - decoys >= 2) {
        kinds_[static_cast<std::size_t>(decoys)] = Kind::OSInstallDiffers;
        kinds_[static_cast<std::size_t>(decoys + 1)] = Kind::MetaWithoutIdentifiers;
    }
    if (spec.oddShapes) {
        for (Kind kind : {Kind::IdentifiersWithoutOSInstall, Kind::OSInstallNotText,
                          Kind::MetaNotDict, Kind::IdentifiersNotDict, Kind::ProductNotDict}) {
            kinds_.push_back(kind);
        }
    }
    std::shuffle(kinds_.begin(), kinds_.end(), std::mt19937_64(random_.next()));
    for (const auto& release : spec.releases) {
        for (const auto& board : release.boardIds) {
            if (std::find(boardIds_.begin(), boardIds_.end(), board) == boardIds_.end()) {
                boardIds_.push_back(board);
            }
        }
    }
    if (boardIds_.empty()) {
        boardIds_ = defaultBoardIds();
    }
    if (spec.catalogBytes > 0 && total > 0) {
        calibrate(spec);
    }
}

// Chooses how many packages an update lists, so that the catalogs come near the asked size.
void FillerProducts::calibrate(const MirrorSpec& spec) {
    MirrorRandom probe(random_.next());  // sample products never use the mirror's sequence
    // Updates vary by chance (languages, metadata URLs), so average many samples.
    constexpr int kSamples = 64;
    double one = 0;
    double five = 0;
    for (int i = 0; i < kSamples; ++i) {
        one += static_cast<double>(update(probe, "001-00001", 1, false).xml.size()) / kSamples;
        five += static_cast<double>(update(probe, "001-00002", 5, false).xml.size()) / kSamples;
    }
    const double two = one + (five - one) / 4;
    const double perPackage = std::max(two - one, 1.0);
    // Releases and decoys are larger than updates; count them at about ten packages each.
    const double installers = static_cast<double>(spec.releases.size() +
                                                  static_cast<std::size_t>(std::count(
                                                      kinds_.begin(), kinds_.end(), Kind::Decoy))) *
                              (one + 9 * perPackage + 600);
    const double perUpdate = (static_cast<double>(spec.catalogBytes) - installers) /
                             static_cast<double>(std::max<std::size_t>(kinds_.size(), 1));
    packagesPerUpdate_ =
        std::clamp(static_cast<int>(std::lround((perUpdate - one) / perPackage)) + 1, 1, 500);
}

CatalogEntry FillerProducts::next() {
    const Kind kind = kinds_.at(position_++);
    const std::string key = random_.productKey();
    switch (kind) {
        case Kind::Update: {
            const int packages =
                packagesPerUpdate_ > 0 ? packagesPerUpdate_ : random_.between(1, 4);
            const bool withMeta = random_.chance(10);
            return update(random_, key, packages, withMeta);
        }
        case Kind::Decoy:
            return decoy(key);
        default:
            return odd(key, kind);
    }
}

CatalogEntry FillerProducts::update(MirrorRandom& random, const std::string& key, int packages,
                                    bool withMeta) const {
    const std::string folder = layout_.productPath(key, random);
    const std::string name = std::string(pick(kUpdateNames, random)) +
                             std::to_string(random.between(2015, 2021)) + "-" +
                             std::to_string(random.between(1, 9));
    PlistText xml(kProductDepth);
    xml.key(key).beginDict();
    if (random.chance(70)) {
        xml.key("ServerMetadataURL").string(layout_.url(folder + name + ".smd"));
    }
    xml.key("Packages").beginArray();
    for (int i = 0; i < packages; ++i) {
        const std::string file =
            i == 0 ? name + ".pkg" : name + "Part" + std::to_string(i) + ".pkg";
        packageDict(xml, layout_.url(folder + file), random, random.chance(50));
    }
    xml.endArray();
    xml.key("PostDate").date(random.postDate());
    xml.key("Distributions").beginDict();
    const int languages = random.between(1, 5);
    for (int i = 0; i < languages; ++i) {
        xml.key(kLanguages[i]).string(layout_.url(folder + key + "." + kLanguages[i] + ".dist"));
    }
    xml.endDict();
    if (withMeta) {
        xml.key("ExtendedMetaInfo").beginDict().key("ProductType").string("update");
        xml.key("AutoUpdate").string("YES").endDict();
    }
    xml.endDict();
    return {key, xml.take(), {}};
}

CatalogEntry FillerProducts::decoy(const std::string& key) {
    const std::string folder = layout_.productPath(key, random_);
    fs::create_directories(layout_.host(folder));
    DistributionDocument document;
    document.title = std::string("macOS ") + pick(kDecoyNames, random_);
    document.version =
        "11." + std::to_string(random_.between(0, 6)) + "." + std::to_string(random_.between(0, 3));
    document.build = "20" + std::string(1, static_cast<char>('A' + random_.between(0, 7))) +
                     std::to_string(random_.between(10, 999));
    document.boardIds = boardIds_;
    document.refusedModels = defaultRefusedModels();
    const int packages = random_.between(8, 10);
    for (int i = 0; i < packages; ++i) {
        const std::string file = "InstallPart" + std::to_string(i) + ".pkg";
        const auto bytes = static_cast<std::uint64_t>(random_.between(4096, 900000000));
        document.packages.push_back({file, "com.apple.pkg.InstallPart" + std::to_string(i), bytes,
                                     random_.hex(64), bytes / 1024 + 1, std::string()});
        document.packages.back().sha1 = document.packages.back().sha256.substr(0, 40);
    }
    PlistText xml(kProductDepth);
    xml.key(key).beginDict();
    const std::string metadata = folder + key + ".smd";
    xml.key("ServerMetadataURL").string(layout_.url(metadata));
    xml.key("Packages").beginArray();
    for (const auto& package : document.packages) {
        xml.beginDict().key("Digest").string(package.sha1);
        xml.key("Size").integer(static_cast<std::int64_t>(package.bytes));
        xml.key("URL").string(layout_.url(folder + package.fileName)).endDict();
    }
    xml.endArray();
    xml.key("PostDate").date(random_.postDate());
    xml.key("Distributions").beginDict();
    for (const char* language : {"English", "French", "German"}) {
        const std::string path = folder + key + "." + language + ".dist";
        document.language = language;
        writeText(layout_.host(path), distributionXml(document));
        xml.key(language).string(layout_.url(path));
    }
    xml.endDict();
    writeText(layout_.host(metadata),
              serverMetadataXml(document.title, document.version, {"English", "French"}, true));
    xml.key("ExtendedMetaInfo").beginDict().key("InstallAssistantPackageIdentifiers").beginDict();
    xml.key("OSInstall").string("com.apple.mpkg.OSInstall");
    xml.key("SharedSupport").string("com.apple.pkg.InstallPart1").endDict().endDict();
    xml.endDict();
    return {key, xml.take(), {}};
}

CatalogEntry FillerProducts::odd(const std::string& key, Kind kind) {
    PlistText xml(kProductDepth);
    xml.key(key);
    if (kind == Kind::ProductNotDict) {
        xml.string("withdrawn");
        return {key, xml.take(), {}};
    }
    const std::string folder = layout_.productPath(key, random_);
    xml.beginDict().key("Packages").beginArray();
    packageDict(xml, layout_.url(folder + "Seed.pkg"), random_, false);
    xml.endArray().key("PostDate").date(random_.postDate());
    xml.key("Distributions").beginDict().key("English");
    xml.string(layout_.url(folder + key + ".English.dist")).endDict();
    xml.key("ExtendedMetaInfo");
    if (kind == Kind::MetaNotDict) {
        xml.string("InstallAssistantPackageIdentifiers");
    } else {
        xml.beginDict();
        if (kind == Kind::MetaWithoutIdentifiers) {
            xml.key("ProductType").string("seed");
        } else {
            xml.key("InstallAssistantPackageIdentifiers");
            if (kind == Kind::IdentifiersNotDict) {
                xml.beginArray().string("com.apple.mpkg.OSInstall").endArray();
            } else {
                xml.beginDict();
                if (kind == Kind::OSInstallDiffers) {
                    xml.key("OSInstall").string("com.apple.mpkg.OSInstallSeed");
                } else if (kind == Kind::OSInstallNotText) {
                    xml.key("OSInstall").integer(1);
                }
                xml.key("SharedSupport").string("com.apple.pkg.Seed").endDict();
            }
        }
        xml.endDict();
    }
    xml.endDict();
    return {key, xml.take(), {}};
}

}  // namespace vantrel::sim
