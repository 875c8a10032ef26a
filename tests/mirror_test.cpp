// What the mirror makes that the program's own runs cannot tell apart: catalogs and documents
// read as the program reads them with the filler a selection wades through, packages and
// catalogs of the size asked for, and the rebasing of its URLs.

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "caching/XmlPath.h"
#include "plist/Plist.h"
#include "sim/lib/MirrorRebase.h"
#include "tests/mirror_fixture.h"

namespace vantrel::mirrortest {
namespace {

using plist::dictItem;
using plist::Plist;
using plist::stringValue;

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

        // The French distribution file is no other language's: the program passes it over.
        EXPECT_EQ(stringValue(
                      dictItem(dictItem(products.at(catalina.productKey), "Distributions"), "fr")),
                  catalina.distributionURLs[1]);
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
        const auto dist = parseXmlDocument(readText(mirror.file(*english)));
        const auto smd = parseXmlDocument(readText(mirror.file(*metadata)));
        ASSERT_TRUE(dist && smd);
        const auto scripts = nodeValues(*dist, {"installer-gui-script", "script", "#text"});
        const auto auxinfo =
            nodeValues(*dist, {"installer-gui-script", "auxinfo", "dict", "string", "#text"});
        const auto strings = nodeValues(*smd, {"plist", "dict", "dict", "dict", "string", "#text"});
        ASSERT_EQ(scripts.size(), 3u);
        ASSERT_EQ(auxinfo.size(), 2u);
        ASSERT_GE(strings.size(), 2u);
        EXPECT_EQ(strings[1].rfind("macOS ", 0), 0u);
        if (key != catalina.productKey && strings[1] != "macOS Mojave") {
            // Installers of other releases fit every release's boards and are newer than any
            // running system, so a selection reads their metadata too.
            EXPECT_NE(scripts[0].find("Mac-AAAA1111"), std::string::npos);
            EXPECT_EQ(auxinfo[1].rfind("11.", 0), 0u);
        }
    }

    // The packages are of the size asked for, which tests of full disks and slow assemblies
    // rely on.
    std::uint64_t total = 0;
    for (const auto& url : catalina.packageURLs) {
        total += fs::file_size(mirror.file(url));
    }
    EXPECT_EQ(total, catalina.totalBytes);
    EXPECT_GT(total, 2u << 20);
    EXPECT_LT(total, 4u << 20);
}

TEST(MirrorDocumentsTest, CatalogsOfTheSizeAskedForAndTheSameForTheSameSeed) {
    const std::vector<std::string> options = {"--release",      "HighSierra packages=1 size=64K",
                                              "--products",     "400",
                                              "--catalog-size", "1M",
                                              "--seed",         "7"};
    // The size asked for, within a few percent, and the same seed gives the same catalog.
    MirrorFolder sized(options);
    MirrorFolder again(options);
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
