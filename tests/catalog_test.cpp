#include <gtest/gtest.h>

#include "caching/Catalog.h"
#include "plist/Plist.h"

namespace vantrel {
namespace {

std::string productXml(const std::string& key, const std::string& identifiers) {
    return "<key>" + key +
           "</key><dict><key>ExtendedMetaInfo</key><dict>"
           "<key>InstallAssistantPackageIdentifiers</key><dict>" +
           identifiers + "</dict></dict><key>ServerMetadataURL</key><string>https://h/" + key +
           ".smd</string></dict>";
}

plist::Plist catalog(const std::string& products) {
    return plist::parsePlist(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
        "<key>Products</key><dict>" +
        products + "</dict></dict></plist>");
}

struct Filtered {
    CandidateSet candidates;
    std::vector<std::string> lines;
};

Filtered filter(const plist::Plist& root) {
    Filtered out;
    out.candidates =
        filterInstallerProducts(plist::dictItem(root.get(), "Products"),
                                [&](std::string_view line) { out.lines.emplace_back(line); });
    return out;
}

std::vector<std::string> keys(const CandidateSet& candidates) {
    std::vector<std::string> out;
    for (const auto& candidate : candidates) {
        out.push_back(candidate.productKey);
    }
    return out;
}

TEST(Catalog, EachSupportedMinorVersionHasItsOwnCatalogPath) {
    const std::string prefix = "/content/catalogs/others/index-";
    const std::string suffix = "mountainlion-lion-snowleopard-leopard.merged-1.sucatalog";
    EXPECT_EQ(catalogURL(13), prefix + "10.13-10.12-10.11-10.10-10.9-" + suffix);
    EXPECT_EQ(catalogURL(14), prefix + "10.14-10.13-10.12-10.11-10.10-10.9-" + suffix);
    EXPECT_EQ(catalogURL(15), prefix + "10.15-10.14-10.13-10.12-10.11-10.10-10.9-" + suffix);
    EXPECT_EQ(catalogURL(16), prefix + "10.16-10.15-10.14-10.13-10.12-10.11-10.10-10.9-" + suffix);
    EXPECT_FALSE(catalogURL(12));
    EXPECT_FALSE(catalogURL(17));
    EXPECT_FALSE(catalogURL(-15));
}

// Another OSInstall package, or the same name in another case, is no installer.
TEST(Catalog, KeepsExactlyTheOSInstallersInCatalogOrderWithTheirDictionaries) {
    const std::string osInstall = "<key>OSInstall</key><string>com.apple.mpkg.OSInstall</string>";
    const auto root = catalog(
        productXml("041-3", osInstall) +
        productXml("001-1", "<key>SharedSupport</key><string>x</string>" + osInstall) +
        "<key>plain</key><dict><key>Packages</key><array/></dict>" +
        productXml("other", "<key>OSInstall</key><string>com.example.mpkg.Other</string>") +
        productXml("caseDiffers", "<key>OSInstall</key><string>com.apple.mpkg.osinstall</string>") +
        productXml("061-2", osInstall));
    const auto result = filter(root);
    EXPECT_EQ(keys(result.candidates), (std::vector<std::string>{"041-3", "001-1", "061-2"}));
    EXPECT_TRUE(result.lines.empty());
    // The dictionary is the catalog's own, unchanged, and owned by the candidate.
    plist_t original = plist::dictItem(plist::dictItem(root.get(), "Products"), "001-1");
    EXPECT_EQ(plist::plistToXml(result.candidates[1].product.get()), plist::plistToXml(original));
    EXPECT_NE(result.candidates[1].product.get(), original);
    EXPECT_EQ(plist::stringForKey(result.candidates[1].product.get(), "ServerMetadataURL"),
              "https://h/001-1.smd");
}

TEST(Catalog, WrongShapesAreSkippedAndOnlyAMissingOrNonTextOSInstallSaysNo) {
    const auto root = catalog(
        "<key>notADict</key><string>x</string>"
        "<key>noMeta</key><dict/>"
        "<key>metaNotDict</key><dict><key>ExtendedMetaInfo</key><array/></dict>"
        "<key>noIdentifiers</key><dict><key>ExtendedMetaInfo</key><dict/></dict>"
        "<key>identifiersNotDict</key><dict><key>ExtendedMetaInfo</key><dict>"
        "<key>InstallAssistantPackageIdentifiers</key><string>x</string></dict></dict>" +
        productXml("noOSInstall", "<key>Other</key><string>x</string>") +
        productXml("numberOSInstall", "<key>OSInstall</key><integer>3</integer>") +
        productXml("good", "<key>OSInstall</key><string>com.apple.mpkg.OSInstall</string>"));
    const auto result = filter(root);
    EXPECT_EQ(keys(result.candidates), std::vector<std::string>{"good"});
    EXPECT_EQ(result.lines, (std::vector<std::string>{"no", "no"}));
}

TEST(Catalog, NoProductsOrProductsOfAnotherTypeGiveNoCandidates) {
    EXPECT_TRUE(filter(catalog("")).candidates.empty());
    EXPECT_TRUE(filterInstallerProducts(nullptr, [](std::string_view) {}).empty());
    const auto array = plist::parsePlist("<plist><array><string>x</string></array></plist>");
    EXPECT_TRUE(filterInstallerProducts(array.get(), [](std::string_view) {}).empty());
}

}  // namespace
}  // namespace vantrel
