// The mirror's documents read as the program reads them: catalogs with libplist, the element
// paths of distribution files and server metadata with pugixml; packages match their digests.

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <plist/plist.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "plist/Plist.h"
#include "sim/lib/MirrorRebase.h"
#include "sim/lib/MirrorSpec.h"
#include "sim/lib/PackageWriter.h"
#include "tests/mirror_fixture.h"

namespace vantrel::mirrortest {
namespace {

using plist::dictItem;
using plist::Plist;
using plist::stringValue;

std::string sha256(const fs::path& file) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
    std::ifstream in(file, std::ios::binary);
    std::vector<char> block(1 << 16);
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
        EVP_DigestUpdate(context, block.data(), static_cast<std::size_t>(in.gcount()));
    }
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, hash, &length);
    EVP_MD_CTX_free(context);
    return sim::hexString(hash, length);
}

std::vector<std::string> archiveEntries(const fs::path& file) {
    std::vector<std::string> names;
    archive* in = archive_read_new();
    archive_read_support_format_tar(in);
    if (archive_read_open_filename(in, file.c_str(), 1 << 16) == ARCHIVE_OK) {
        archive_entry* entry = nullptr;
        while (archive_read_next_header(in, &entry) == ARCHIVE_OK) {
            names.push_back(archive_entry_pathname(entry));
        }
    }
    archive_read_free(in);
    return names;
}

std::string osInstallOf(plist_t product) {
    plist_t value = dictItem(
        dictItem(dictItem(product, "ExtendedMetaInfo"), "InstallAssistantPackageIdentifiers"),
        "OSInstall");
    return stringValue(value).value_or("");
}

// The catalog's products by key, in the catalog's own order of keys.
std::map<std::string, plist_t> productsOf(plist_t catalog) {
    std::map<std::string, plist_t> products;
    plist_t dict = dictItem(catalog, "Products");
    plist::forEachDictItem(dict, [&](const char* key, plist_t value) {
        products[key] = value;
        return true;
    });
    return products;
}

TEST(MirrorSpecTest, ReleaseSpecsReadWithDefaultsAndRejectMistakes) {
    std::string error;
    auto catalina = sim::parseReleaseSpec("Catalina", &error);
    ASSERT_TRUE(catalina) << error;
    EXPECT_EQ(catalina->version, "10.15.7");
    EXPECT_EQ(catalina->build, "19H15");
    EXPECT_EQ(catalina->catalogs, (std::vector<int>{13, 14, 15, 16}));
    EXPECT_EQ(catalina->boardIds.front(), "Mac-A1B2C3D4E5F60718");  // the default Mac's

    auto custom = sim::parseReleaseSpec(
        "Mojave:10.14.5:18F132 boards=Mac-1+Mac-2 refuse=MacBookPro9,1+iMac8,1 packages=3 "
        "size=1.5MiB shape=large languages=en+English catalogs=14+15 faults=truncate+stall",
        &error);
    ASSERT_TRUE(custom) << error;
    EXPECT_EQ(custom->build, "18F132");
    EXPECT_EQ(custom->boardIds, (std::vector<std::string>{"Mac-1", "Mac-2"}));
    EXPECT_EQ(custom->refusedModels, (std::vector<std::string>{"MacBookPro9,1", "iMac8,1"}));
    EXPECT_EQ(custom->totalBytes, 1572864u);
    EXPECT_EQ(custom->shape, sim::PackageShape::Large);
    EXPECT_EQ(custom->languages, (std::vector<std::string>{"en", "English"}));
    EXPECT_EQ(custom->faults, (std::set<std::string>{"truncate", "stall"}));

    for (const char* bad :
         {"Sequoia", "Catalina packages=0", "Catalina size=lots", "Catalina faults=explode",
          "Catalina colour=red", "Catalina catalogs=12", "Catalina boards=Mac<1>", "../x:1.0:1A1",
          "Catalina extra"}) {
        error.clear();
        EXPECT_FALSE(sim::parseReleaseSpec(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    EXPECT_EQ(sim::parseByteSize("4096"), 4096u);
    EXPECT_EQ(sim::parseByteSize("64K"), 65536u);
    EXPECT_EQ(sim::parseByteSize("4GiB"), 4294967296u);
    EXPECT_FALSE(sim::parseByteSize("4 GB"));
    EXPECT_FALSE(sim::parseByteSize("-1M"));
}

TEST(MirrorDocumentsTest, CatalogsDistributionsMetadataAndPackagesReadAsTheProgramReadsThem) {
    MirrorFolder mirror({"--release",
                         "Catalina:10.15.7:19H15 boards=Mac-AAAA1111+Mac-BBBB2222 "
                         "refuse=MacBookPro9,1 languages=English+fr packages=4 size=3M",
                         "--release", "Mojave packages=8", "--products", "100", "--odd-shapes"},
                        "https://localhost:9443");
    const auto manifest = mirror.manifest();
    ASSERT_EQ(manifest.releases.size(), 2u);
    const auto& catalina = manifest.releases[0];

    std::set<std::string> firstCandidates;
    for (const auto& [minor, path] : sim::catalogPaths()) {
        SCOPED_TRACE(path);
        Plist catalog = plist::readPlistFile(mirror.catalog(minor));
        ASSERT_TRUE(catalog);
        const auto products = productsOf(catalog.get());
        EXPECT_EQ(products.size(), manifest.products);
        std::set<std::string> candidates;
        std::size_t differing = 0;
        std::size_t notDictionaries = 0;
        for (const auto& [key, product] : products) {
            if (plist_get_node_type(product) != PLIST_DICT) {
                ++notDictionaries;
                continue;
            }
            const std::string osInstall = osInstallOf(product);
            if (osInstall == "com.apple.mpkg.OSInstall") {
                candidates.insert(key);
            } else if (!osInstall.empty()) {
                ++differing;
            }
        }
        // Both releases and three percent of the filler are OS installers.
        EXPECT_EQ(candidates.size(), 2u + 3u);
        EXPECT_TRUE(candidates.count(catalina.productKey));
        EXPECT_EQ(differing, 1u);
        EXPECT_EQ(notDictionaries, 1u);
        if (firstCandidates.empty()) {
            firstCandidates = candidates;
        }
        EXPECT_EQ(candidates, firstCandidates);

        plist_t product = products.at(catalina.productKey);
        plist_t distributions = dictItem(product, "Distributions");
        EXPECT_EQ(stringValue(dictItem(distributions, "English")), catalina.distributionURLs[0]);
        EXPECT_EQ(stringValue(dictItem(distributions, "fr")), catalina.distributionURLs[1]);
        EXPECT_EQ(stringValue(dictItem(product, "ServerMetadataURL")), catalina.serverMetadataURL);
        plist_t packages = dictItem(product, "Packages");
        ASSERT_EQ(plist_array_get_size(packages), catalina.packageURLs.size());
        for (std::uint32_t i = 0; i < plist_array_get_size(packages); ++i) {
            EXPECT_EQ(stringValue(dictItem(plist_array_get_item(packages, i), "URL")),
                      catalina.packageURLs[i]);
        }
    }

    // Every installer's distribution file and metadata are on the mirror, with the title the
    // program compares and the board ids and models where it searches for them.
    for (const auto& key : firstCandidates) {
        Plist catalog = plist::readPlistFile(mirror.catalog(15));
        plist_t product = productsOf(catalog.get()).at(key);
        const auto english = stringValue(dictItem(dictItem(product, "Distributions"), "English"));
        const auto metadata = stringValue(dictItem(product, "ServerMetadataURL"));
        ASSERT_TRUE(english && metadata);
        EXPECT_EQ(english->rfind("https://localhost:9443/content/", 0), 0u);
        pugi::xml_document dist;
        pugi::xml_document smd;
        ASSERT_TRUE(dist.load_file(mirror.file(*english).c_str()));
        ASSERT_TRUE(smd.load_file(mirror.file(*metadata).c_str()));
        const auto scripts = evaluatePath(dist, {"installer-gui-script", "script", "#text"});
        const auto auxinfo =
            evaluatePath(dist, {"installer-gui-script", "auxinfo", "dict", "string", "#text"});
        const auto strings =
            evaluatePath(smd, {"plist", "dict", "dict", "dict", "string", "#text"});
        ASSERT_EQ(scripts.size(), 3u);
        ASSERT_EQ(auxinfo.size(), 2u);
        ASSERT_GE(strings.size(), 2u);
        EXPECT_EQ(strings[1].rfind("macOS ", 0), 0u);
        if (key == catalina.productKey) {
            EXPECT_NE(scripts[0].find("'Mac-AAAA1111'"), std::string::npos);
            EXPECT_NE(scripts[0].find("'Mac-BBBB2222'"), std::string::npos);
            EXPECT_EQ(scripts[0].find("MacBookPro9,1"), std::string::npos);
            EXPECT_NE(scripts[2].find("'MacBookPro9,1'"), std::string::npos);
            EXPECT_EQ(auxinfo, (std::vector<std::string>{"19H15", "10.15.7"}));
            EXPECT_EQ(strings[1], "macOS Catalina");
        } else if (strings[1] != "macOS Mojave") {
            // Installers of other releases fit every release's boards and are newer than any
            // running system, so a selection reads their metadata too.
            EXPECT_NE(scripts[0].find("Mac-AAAA1111"), std::string::npos);
            EXPECT_EQ(auxinfo[1].rfind("11.", 0), 0u);
        }
    }

    // The packages carry the whole application, and each is what the distribution file says.
    pugi::xml_document dist;
    ASSERT_TRUE(dist.load_file(mirror.file(catalina.distributionURLs[0]).c_str()));
    std::set<std::string> carried;
    std::uint64_t total = 0;
    for (const auto& url : catalina.packageURLs) {
        const fs::path file = mirror.file(url);
        const auto ref =
            dist.child("installer-gui-script")
                .find_child_by_attribute("pkg-ref", "packageIdentifier",
                                         ("com.apple.pkg." + file.stem().string()).c_str());
        ASSERT_TRUE(ref) << file;
        EXPECT_EQ(std::string(ref.text().get()), "#" + file.filename().string());
        EXPECT_EQ(ref.attribute("fileSize").as_ullong(), fs::file_size(file));
        EXPECT_EQ(std::string(ref.attribute("sha256").value()), sha256(file));
        total += fs::file_size(file);
        for (const auto& name : archiveEntries(file)) {
            EXPECT_EQ(name.rfind("Applications/Install macOS Catalina.app", 0), 0u) << name;
            carried.insert(name);
        }
    }
    EXPECT_EQ(total, catalina.totalBytes);
    EXPECT_GT(total, 2u << 20);
    EXPECT_LT(total, 4u << 20);
    const std::string app = "Applications/Install macOS Catalina.app/Contents/";
    for (const char* inside :
         {"Info.plist", "SharedSupport/BaseSystem.dmg", "Resources/startosinstall"}) {
        EXPECT_TRUE(carried.count(app + inside)) << inside;
    }
}

TEST(MirrorDocumentsTest, ReleaseFaultsBreakExactlyWhatTheySay) {
    // 12 MiB: the last package, filled, stays the largest beside the stand-in programs that
    // another package carries (a few MiB in a sanitizer build).
    MirrorFolder mirror(
        {"--products", "0", "--release",
         "Catalina key=001-00001 packages=2 faults=dist-not-xml+smd-no-title+packages-not-array",
         "--release",
         "Catalina key=001-00002 packages=2 faults=dist-few-scripts+dist-bad-version+"
         "distribution-not-text+package-corrupt+unsafe-names",
         "--release", "Catalina key=001-00003 packages=3 size=12M faults=truncate+package-missing",
         "--release", "Catalina key=001-00004 packages=2 faults=dist-missing+stall+dist-stall"});
    const auto manifest = mirror.manifest();
    ASSERT_EQ(manifest.releases.size(), 4u);
    Plist catalog = plist::readPlistFile(mirror.catalog(13));
    const auto products = productsOf(catalog.get());
    const auto& [notXml, fewScripts, cut, stalled] = std::tie(
        manifest.releases[0], manifest.releases[1], manifest.releases[2], manifest.releases[3]);

    pugi::xml_document document;
    EXPECT_FALSE(document.load_file(mirror.file(notXml.distributionURLs[0]).c_str()));
    ASSERT_TRUE(document.load_file(mirror.file(notXml.serverMetadataURL).c_str()));
    EXPECT_EQ(evaluatePath(document, {"plist", "dict", "dict", "dict", "string", "#text"}).size(),
              1u);
    EXPECT_EQ(plist_get_node_type(dictItem(products.at("001-00001"), "Packages")), PLIST_DICT);

    ASSERT_TRUE(document.load_file(mirror.file(fewScripts.distributionURLs[0]).c_str()));
    EXPECT_EQ(evaluatePath(document, {"installer-gui-script", "script", "#text"}).size(), 1u);
    EXPECT_EQ(
        evaluatePath(document, {"installer-gui-script", "auxinfo", "dict", "string", "#text"}),
        (std::vector<std::string>{"19H15", "10.15"}));
    EXPECT_EQ(plist_get_node_type(
                  dictItem(dictItem(products.at("001-00002"), "Distributions"), "English")),
              PLIST_UINT);
    const auto ref = document.child("installer-gui-script")
                         .find_child_by_attribute("pkg-ref", "packageIdentifier",
                                                  "com.apple.pkg.BaseSystemImage");
    EXPECT_NE(std::string(ref.attribute("sha256").value()),
              sha256(mirror.file(fewScripts.packageURLs[1])));

    // Rules for the server: path-like names, a cut and stalls; missing files are missing.
    const auto path = [](const std::string& url) { return url.substr(url.find("/content/")); };
    EXPECT_EQ(manifest.rules.at(path(fewScripts.packageURLs[0])).disposition, "../../etc/passwd");
    EXPECT_EQ(manifest.rules.at(path(fewScripts.packageURLs[1])).disposition, "/abs");
    EXPECT_EQ(manifest.rules.at(path(fewScripts.distributionURLs[0])).disposition->rfind("../", 0),
              0u);
    EXPECT_EQ(manifest.rules.at(path(cut.packageURLs[2])).behavior, "truncate");
    EXPECT_FALSE(fs::exists(mirror.file(cut.packageURLs[2])));
    EXPECT_FALSE(fs::exists(mirror.file(stalled.distributionURLs[0])));
    EXPECT_EQ(manifest.rules.at(path(stalled.distributionURLs[0])).behavior, "stall-before");
    std::size_t stalling = 0;
    for (const auto& url : stalled.packageURLs) {
        const auto rule = manifest.rules.find(path(url));
        stalling += rule != manifest.rules.end() && rule->second.behavior == "stall-middle";
    }
    EXPECT_EQ(stalling, 1u);
}

TEST(MirrorDocumentsTest, CatalogFaultsAndSizes) {
    const std::vector<std::string> small = {"--release", "HighSierra packages=1 size=64K"};
    auto with = [&](std::vector<std::string> extra) {
        extra.insert(extra.end(), small.begin(), small.end());
        return extra;
    };
    {
        MirrorFolder mirror(with({"--catalog-fault", "not-plist"}));
        EXPECT_FALSE(plist::readPlistFile(mirror.catalog(14)));
    }
    {
        MirrorFolder mirror(with({"--catalog-fault", "products-not-dict"}));
        Plist catalog = plist::readPlistFile(mirror.catalog(14));
        ASSERT_TRUE(catalog);
        EXPECT_EQ(plist_get_node_type(dictItem(catalog.get(), "Products")), PLIST_ARRAY);
    }
    {
        MirrorFolder mirror(with({"--catalog-fault", "no-products"}));
        Plist catalog = plist::readPlistFile(mirror.catalog(14));
        ASSERT_TRUE(catalog);
        EXPECT_EQ(dictItem(catalog.get(), "Products"), nullptr);
    }
    {
        MirrorFolder mirror(with({"--catalog-fault", "missing"}));
        EXPECT_FALSE(fs::exists(mirror.catalog(14)));
    }
    // The size asked for, within a few percent, and the same seed gives the same catalog.
    MirrorFolder sized(with({"--products", "400", "--catalog-size", "1M", "--seed", "7"}));
    MirrorFolder again(with({"--products", "400", "--catalog-size", "1M", "--seed", "7"}));
    const auto bytes = static_cast<double>(fs::file_size(sized.catalog(16)));
    EXPECT_NEAR(bytes, 1048576.0, 1048576.0 * 0.1);
    // Only the release's packages differ: its installer application is built afresh.
    const auto withoutDigests = [](const fs::path& file) {
        std::istringstream lines(readText(file));
        std::string kept;
        for (std::string line; std::getline(lines, line);) {
            // A package's SHA-1 (40 hex digits) or a distribution's SHA-256 (64).
            const auto open = line.find("<string>");
            const auto isDigestOf = [&](std::size_t digits) {
                return open != std::string::npos && line.size() == open + 8 + digits + 9 &&
                       line.find_first_not_of("0123456789abcdef", open + 8) == open + 8 + digits;
            };
            const bool digest = isDigestOf(40) || isDigestOf(64);
            kept += digest ? std::string("<digest>") : line;
        }
        return kept;
    };
    EXPECT_TRUE(withoutDigests(sized.catalog(16)) == withoutDigests(again.catalog(16)));
}

TEST(MirrorDocumentsTest, MirrorRefusesAFolderOfOtherFiles) {
    TempFolder folder;
    std::ofstream(folder.path() / "notes.txt") << "keep me";
    const auto run = testsupport::runProgram(
        testsupport::simTool(),
        {"mirror", folder.path().string(), "--release", "Catalina packages=1 size=64K"});
    EXPECT_TRUE(run.exited(1));
    EXPECT_NE(run.standardError.find("holds other files"), std::string::npos);
    EXPECT_EQ(readText(folder.path() / "notes.txt"), "keep me");

    const auto bad = testsupport::runProgram(
        testsupport::simTool(), {"mirror", (folder.path() / "m").string(), "--release", "Nowhere"});
    EXPECT_TRUE(bad.exited(1));
    EXPECT_NE(bad.standardError.find("version and a build"), std::string::npos);
}

TEST(MirrorRebaseTest, ReplacesAcrossBlockBoundaries) {
    const std::string from = "https://localhost:8443/";
    const std::string to = "https://localhost:50123/";
    std::string text;
    std::string expected;
    // Matches that straddle the 1 MiB block edges, each at another place.
    for (const auto& [edge, before] : std::vector<std::pair<std::size_t, std::size_t>>{
             {std::size_t{1} << 20, 5}, {std::size_t{2} << 20, 22}, {std::size_t{3} << 20, 1}}) {
        expected += std::string(edge - before - text.size(), 'x');
        text += std::string(edge - before - text.size(), 'x');
        text += from;
        expected += to;
    }
    text += "https://localhost:84431/ tail";
    expected += "https://localhost:84431/ tail";
    std::istringstream in(text);
    std::ostringstream out;
    sim::replaceStreaming(in, out, from, to);
    EXPECT_EQ(out.str(), expected);
}

}  // namespace
}  // namespace vantrel::mirrortest
