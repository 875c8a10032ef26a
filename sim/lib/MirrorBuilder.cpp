#include "sim/lib/MirrorBuilder.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <ostream>
#include <regex>
#include <stdexcept>

#include "sim/lib/CatalogDocuments.h"
#include "sim/lib/CatalogPlistWriter.h"
#include "sim/lib/MirrorParts.h"

namespace vantrel::sim {

namespace fs = std::filesystem;

namespace {

// What an earlier mirror (also one whose making was cut short) leaves in its folder.
bool isMirrorEntry(const std::string& name) {
    return name == kContentFolder || name == kManifestFile || name == kServerIdentityFile ||
           name.rfind(".scratch-", 0) == 0;
}

void prepareFolder(const fs::path& folder) {
    std::error_code ec;
    if (fs::exists(folder, ec)) {
        if (!fs::is_directory(folder, ec)) {
            throw std::runtime_error(folder.string() + " is not a folder");
        }
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (!isMirrorEntry(entry.path().filename().string())) {
                throw std::runtime_error(folder.string() +
                                         " holds other files; give an empty or new folder, or "
                                         "an earlier mirror");
            }
        }
        // The server's identity stays, so clients that trust it keep trusting it.
        std::vector<fs::path> old;
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (entry.path().filename() != kServerIdentityFile) {
                old.push_back(entry.path());
            }
        }
        for (const auto& path : old) {
            fs::remove_all(path);
        }
    }
    fs::create_directories(folder / kContentFolder);
}

// A private scratch folder in the mirror, removed when the build ends.
class Scratch {
  public:
    explicit Scratch(const fs::path& folder) {
        std::string pattern = (folder / ".scratch-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            throw std::runtime_error("cannot make a scratch folder in " + folder.string());
        }
        path_ = pattern;
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

// The four catalogs, written side by side, product by product.
class CatalogFiles {
  public:
    CatalogFiles(const MirrorLayout& layout, const std::string& fault) : fault_(fault) {
        if (fault_ == "missing") {
            return;
        }
        for (const auto& [minor, path] : catalogPaths()) {
            const fs::path file = layout.host(path);
            fs::create_directories(file.parent_path());
            auto& out = files_[minor];
            out = std::make_unique<std::ofstream>(file, std::ios::binary | std::ios::trunc);
            if (!*out) {
                throw std::runtime_error("cannot write " + file.string());
            }
            if (fault_ == "not-plist") {
                *out << notXml("catalog");
                continue;
            }
            *out << PlistText::header();
            if (fault_ == "not-dict") {
                *out << "<array>\n";
            }
            PlistText top(0);
            top.beginDict().key("CatalogVersion").integer(2);
            top.key("IndexDate").date("2021-02-01T18:12:30Z");
            if (fault_ == "no-products") {
                top.key("Product").beginDict();  // a near miss of "Products"
            } else if (fault_ == "products-not-dict") {
                top.key("Products").beginArray();
            } else {
                top.key("Products").beginDict();
            }
            *out << top.text();
        }
    }

    void add(const CatalogEntry& entry) {
        if (fault_ == "missing" || fault_ == "not-plist") {
            return;
        }
        for (auto& [minor, out] : files_) {
            if (entry.catalogs.empty() || entry.catalogs.count(minor)) {
                if (fault_ == "products-not-dict") {
                    // In an array, each product is a dictionary without its key.
                    const auto dict = entry.xml.find('\n');
                    *out << entry.xml.substr(dict + 1);
                } else {
                    *out << entry.xml;
                }
            }
        }
    }

    void finish() {
        for (auto& [minor, out] : files_) {
            if (fault_ != "not-plist") {
                *out << (fault_ == "products-not-dict" ? "\t</array>\n" : "\t</dict>\n");
                if (fault_ == "too-deep") {
                    constexpr int kDepth = 200'000;
                    *out << "\t<key>Nested</key>\n";
                    for (int i = 0; i < kDepth; ++i) {
                        *out << "<array>";
                    }
                    for (int i = 0; i < kDepth; ++i) {
                        *out << "</array>";
                    }
                    *out << "\n";
                }
                *out << "</dict>\n"
                     << (fault_ == "not-dict" ? "</array>\n" : "") << PlistText::footer();
            }
            if (!out->flush()) {
                throw std::runtime_error("cannot write a catalog");
            }
        }
    }

  private:
    std::string fault_;
    std::map<int, std::unique_ptr<std::ofstream>> files_;
};

void addCatalogRules(const std::string& fault, MirrorManifest& manifest) {
    static const std::map<std::string, std::string> behaviors{
        {"stall", "stall-before"}, {"truncate", "truncate"}, {"error", "error"}};
    const auto behavior = behaviors.find(fault);
    if (behavior == behaviors.end()) {
        return;
    }
    for (const auto& [minor, path] : catalogPaths()) {
        manifest.rules[path].behavior = behavior->second;
    }
}

void validate(const MirrorSpec& spec) {
    if (!std::regex_match(spec.baseURL, std::regex(R"(https?://[A-Za-z0-9.\-\[\]:]+)"))) {
        throw std::runtime_error(
            "the base URL must be a scheme, host and port such as "
            "https://localhost:8443, not '" +
            spec.baseURL + "'");
    }
    if (!spec.catalogFault.empty()) {
        const auto& faults = catalogFaults();
        if (std::none_of(faults.begin(), faults.end(),
                         [&](const FaultInfo& f) { return spec.catalogFault == f.name; })) {
            throw std::runtime_error("unknown catalog fault '" + spec.catalogFault + "'");
        }
    }
}

}  // namespace

MirrorManifest buildMirror(const fs::path& folder, const MirrorSpec& spec, std::ostream& log) {
    validate(spec);
    prepareFolder(folder);
    const fs::path root = fs::canonical(folder);
    MirrorLayout layout(root, spec.baseURL);
    MirrorRandom random(spec.seed);
    MirrorManifest manifest;
    manifest.baseURL = spec.baseURL;
    const FillKind fill = spec.randomFill ? FillKind::Random : FillKind::Zero;

    std::vector<CatalogEntry> releases;
    {
        Scratch scratch(root);
        for (const auto& release : spec.releases) {
            releases.push_back(
                buildReleaseProduct(release, layout, random, fill, scratch.path(), manifest, log));
        }
    }

    FillerProducts filler(spec, layout, random);
    const std::size_t total = releases.size() + filler.count();
    // The releases stand at places of chance among the other products, in the order given.
    std::vector<std::size_t> places(total);
    for (std::size_t i = 0; i < total; ++i) {
        places[i] = i;
    }
    std::shuffle(places.begin(), places.end(), std::mt19937_64(random.next()));
    places.resize(releases.size());
    std::sort(places.begin(), places.end());

    CatalogFiles catalogs(layout, spec.catalogFault);
    std::size_t nextRelease = 0;
    for (std::size_t i = 0; i < total; ++i) {
        if (nextRelease < places.size() && places[nextRelease] == i) {
            catalogs.add(releases[nextRelease++]);
        } else {
            catalogs.add(filler.next());
        }
    }
    catalogs.finish();
    addCatalogRules(spec.catalogFault, manifest);
    manifest.products = total;
    writeManifest(root, manifest);
    log << "catalogs: " << total << " products, of which " << releases.size()
        << " releases; served from " << spec.baseURL << "\n";
    return manifest;
}

}  // namespace vantrel::sim
