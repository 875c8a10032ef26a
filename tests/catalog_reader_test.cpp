// The catalog read one product at a time against the property-list library's parse of the
// whole document: both must give the same outcome, the same candidates in the same order with
// the same dictionaries, and the same number of "no" lines.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "caching/Catalog.h"
#include "plist/Plist.h"
#include "tests/mirror_fixture.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using Outcome = CatalogReading::Outcome;

// What a reader made of a catalog, in a form that compares and prints well.
struct Summary {
    Outcome outcome = Outcome::NotADictionary;
    std::vector<std::string> keys;
    std::vector<std::string> products;  // each candidate's dictionary as XML
    std::size_t noLines = 0;

    bool operator==(const Summary&) const = default;
};

void PrintTo(const Summary& summary, std::ostream* out) {
    *out << "outcome " << static_cast<int>(summary.outcome) << ", " << summary.noLines
         << " \"no\", candidates:";
    for (const auto& key : summary.keys) {
        *out << " " << key;
    }
}

template <typename Reader>
Summary summarise(Reader reader, std::string_view body) {
    Summary summary;
    const CatalogReading reading = reader(body, [&](std::string_view line) {
        EXPECT_EQ(line, "no");
        ++summary.noLines;
    });
    summary.outcome = reading.outcome;
    for (const auto& candidate : reading.candidates) {
        summary.keys.push_back(candidate.productKey);
        summary.products.push_back(plist::plistToXml(candidate.product.get()));
    }
    return summary;
}

// The catalog given to the reader in pieces of `pieceBytes`, as a transfer hands it on.
CatalogReading readInPieces(std::string_view body, std::size_t pieceBytes,
                            const std::function<void(std::string_view)>& printLine) {
    CatalogStreamReader reader;
    for (std::size_t at = 0; at < body.size(); at += pieceBytes) {
        if (!reader.append(body.substr(at, pieceBytes))) {
            break;  // refused: the transfer ends here
        }
    }
    return reader.finish(printLine);
}

// Reads `body` both ways, and as it would arrive in pieces of several sizes (one byte; a few
// KiB, which cut products in two; more than the reader gives the parser at once), expects
// them all to agree, and answers the streamed reading.
Summary readBothWays(std::string_view body) {
    const Summary streamed = summarise(readCatalog, body);
    EXPECT_EQ(streamed, summarise(readCatalogTree, body)) << body.substr(0, 400);
    for (const std::size_t pieceBytes : {std::size_t{1}, std::size_t{4093}, std::size_t{1} << 20}) {
        const auto inPieces = [pieceBytes](std::string_view text, const auto& printLine) {
            return readInPieces(text, pieceBytes, printLine);
        };
        EXPECT_EQ(summarise(inPieces, body), streamed)
            << pieceBytes << "-byte pieces of " << body.substr(0, 400);
    }
    return streamed;
}

const std::string kInstaller =
    "<key>ExtendedMetaInfo</key><dict><key>InstallAssistantPackageIdentifiers</key><dict>"
    "<key>OSInstall</key><string>com.apple.mpkg.OSInstall</string></dict></dict>";
const std::string kNoOSInstall =
    "<key>ExtendedMetaInfo</key><dict><key>InstallAssistantPackageIdentifiers</key><dict>"
    "</dict></dict>";

std::string catalogOf(const std::string& rootItems) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>" + rootItems +
           "</dict></plist>";
}

std::string products(const std::string& items) {
    return "<key>Products</key><dict>" + items + "</dict>";
}

std::string product(const std::string& key, const std::string& content) {
    return "<key>" + key + "</key><dict>" + content + "</dict>";
}

TEST(Catalog, EachSupportedMinorVersionHasItsOwnCatalogPath) {
    const std::string prefix = "/content/catalogs/others/index-";
    const std::string suffix = "mountainlion-lion-snowleopard-leopard.merged-1.sucatalog";
    EXPECT_EQ(catalogURL(13), prefix + "10.13-10.12-10.11-10.10-10.9-" + suffix);
    EXPECT_EQ(catalogURL(14), prefix + "10.14-10.13-10.12-10.11-10.10-10.9-" + suffix);
    EXPECT_EQ(catalogURL(15), prefix + "10.15-10.14-10.13-10.12-10.11-10.10-10.9-" + suffix);
    EXPECT_EQ(catalogURL(16), prefix + "10.16-10.15-10.14-10.13-10.12-10.11-10.10-10.9-" + suffix);
    for (const int unsupported : {12, 17, -15}) {
        EXPECT_FALSE(catalogURL(unsupported)) << unsupported;
    }
}

// Only the OSInstall package of that exact name makes an installer; products of other shapes
// are passed over, and only an OSInstall that is missing or not text says "no". Each candidate
// keeps its own copy of the catalog's dictionary (the tree is gone when it is read).
TEST(CatalogReader, KeepsExactlyTheOSInstallersInCatalogOrderWithTheirDictionaries) {
    const auto withIdentifiers = [](const std::string& key, const std::string& identifiers) {
        return product(key,
                       "<key>ExtendedMetaInfo</key><dict><key>"
                       "InstallAssistantPackageIdentifiers</key><dict>" +
                           identifiers +
                           "</dict></dict><key>ServerMetadataURL</key>"
                           "<string>https://h/" +
                           key + ".smd</string>");
    };
    const std::string osInstall = "<key>OSInstall</key><string>com.apple.mpkg.OSInstall</string>";
    const Summary summary = readBothWays(catalogOf(products(
        withIdentifiers("041-3", osInstall) + "<key>notADict</key><string>x</string>" +
        product("noMeta", "") + product("metaNotDict", "<key>ExtendedMetaInfo</key><array/>") +
        product("noIdentifiers", "<key>ExtendedMetaInfo</key><dict/>") +
        product("identifiersNotDict",
                "<key>ExtendedMetaInfo</key><dict><key>"
                "InstallAssistantPackageIdentifiers</key><string>x</string>"
                "</dict>") +
        withIdentifiers("001-1", "<key>SharedSupport</key><string>x</string>" + osInstall) +
        withIdentifiers("noOSInstall", "<key>Other</key><string>x</string>") +
        withIdentifiers("numberOSInstall", "<key>OSInstall</key><integer>3</integer>") +
        withIdentifiers("other", "<key>OSInstall</key><string>com.example.mpkg.Other</string>") +
        withIdentifiers("caseDiffers",
                        "<key>OSInstall</key><string>com.apple.mpkg.osinstall</string>") +
        withIdentifiers("061-2", osInstall))));
    EXPECT_EQ(summary.outcome, Outcome::Candidates);
    EXPECT_EQ(summary.keys, (std::vector<std::string>{"041-3", "001-1", "061-2"}));
    EXPECT_EQ(summary.noLines, 2u);
    ASSERT_EQ(summary.products.size(), 3u);
    EXPECT_NE(summary.products[1].find("SharedSupport"), std::string::npos);
    EXPECT_NE(summary.products[1].find("https://h/001-1.smd"), std::string::npos);
}

TEST(CatalogReader, AgreesWithTheWholeDocumentOnMirrorCatalogsAndTheSavedFuzzCorpus) {
    mirrortest::MirrorFolder mirror(
        {"--release", "Catalina size=64K", "--release", "Mojave size=64K", "--products", "300"});
    for (int minor = 13; minor <= 16; ++minor) {
        const std::string body = mirrortest::readText(mirror.catalog(minor));
        const Summary summary = readBothWays(body);
        EXPECT_EQ(summary.outcome, Outcome::Candidates) << minor;
        EXPECT_FALSE(summary.keys.empty()) << minor;
        // The same catalog as a binary list is read whole, with the same result.
        const plist::Plist tree = plist::parsePlist(body);
        char* binary = nullptr;
        std::uint32_t length = 0;
        plist_to_bin(tree.get(), &binary, &length);
        EXPECT_EQ(readBothWays(std::string_view(binary, length)), summary);
        plist_to_bin_free(binary);
    }
    std::size_t documents = 0;
    for (const auto& entry :
         fs::directory_iterator(fs::path(VANTREL_SOURCE_DIR) / "fuzz/corpus/catalog")) {
        SCOPED_TRACE(entry.path().filename().string());
        readBothWays(mirrortest::readText(entry.path()));
        ++documents;
    }
    EXPECT_GT(documents, 10u);
}

TEST(CatalogReader, ALargeCatalogOfInstallersIsReadWholeWhateverPiecesItArrivesIn) {
    // Some MiB of installers: the reader hands the parser several pieces, and products are
    // cut in two where one piece ends.
    std::string items;
    std::vector<std::string> keys;
    for (int i = 0; items.size() < 3 * 1024 * 1024; ++i) {
        keys.push_back("001-" + std::to_string(10000 + i));
        items += product(keys.back(), kInstaller + "<key>Padding</key><string>" +
                                          std::string(static_cast<std::size_t>(i % 97), 'p') +
                                          "</string>");
    }
    const Summary summary = readBothWays(catalogOf(products(items)));
    EXPECT_EQ(summary.keys, keys);
}

TEST(CatalogReader, DuplicateKeysKeepTheFirstPlaceAndTakeTheLastValue) {
    // A product key met again: its first place, its last dictionary.
    Summary summary = readBothWays(catalogOf(
        products(product("a", kNoOSInstall) + product("b", kInstaller) + product("c", kInstaller) +
                 product("a", kInstaller + "<key>Second</key><true/>") +
                 product("c", "<key>x</key><true/>"))));
    EXPECT_EQ(summary.outcome, Outcome::Candidates);
    EXPECT_EQ(summary.keys, (std::vector<std::string>{"a", "b"}));
    EXPECT_NE(summary.products[0].find("Second"), std::string::npos);
    EXPECT_EQ(summary.noLines, 0u);

    // The root's last "Products" is the one read, whatever came before.
    summary = readBothWays(
        catalogOf(products(product("old", kInstaller)) + products(product("new", kNoOSInstall))));
    EXPECT_EQ(summary.keys, std::vector<std::string>{});
    EXPECT_EQ(summary.noLines, 1u);
    summary = readBothWays(
        catalogOf(products(product("old", kInstaller)) + "<key>Products</key><string>x</string>"));
    EXPECT_EQ(summary.outcome, Outcome::NoProductsDictionary);
    summary = readBothWays(
        catalogOf("<key>Products</key><array/>" + products(product("new", kInstaller))));
    EXPECT_EQ(summary.keys, std::vector<std::string>{"new"});

    // Keys are compared as the library decodes them: references, comments and CDATA.
    summary = readBothWays(catalogOf("<key>Prod&#117;c<!-- -->ts</key><dict>" +
                                     product("&#65;&amp;<![CDATA[<]]>", kInstaller) +
                                     product("A&amp;&lt;", kNoOSInstall) + "</dict>"));
    EXPECT_EQ(summary.keys, std::vector<std::string>{});
    EXPECT_EQ(summary.noLines, 1u);
}

// Well-formed XML keeps the library's own reading of odd shapes; XML that is not well-formed,
// or that the library would cut into other tags than a strict XML parser, is refused.
TEST(CatalogReader, OddDocumentsKeepTheLibrarysReadingAndMalformedOnesAreRefused) {
    const std::string good = products(product("p", kInstaller));
    const std::string inPlist = "<plist version=\"1.0\"><dict>" + good + "</dict></plist>";
    const std::vector<std::pair<std::string, std::string>> readAsP = {
        {"no <plist> around the root", "<dict>" + good + "</dict>"},
        {"text after the root inside <plist>", "<plist><dict>" + good + "</dict>junk</plist>"},
        {"a key with nothing after it is dropped",
         catalogOf("<key>Products</key><dict>" + product("p", kInstaller) +
                   "<key>dangling</key></dict><key>again</key>")},
        {"<key/> is an empty string", catalogOf(good + "<key>x</key><key/>")},
        {"a DOCTYPE with an external identifier",
         "<?xml version=\"1.0\"?><!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">" +
             inPlist},
        {"tags with blanks and attributes", "<plist><dict ><key a='x'>Products</key ><dict>" +
                                                product("p", kInstaller) +
                                                "</dict ></dict></plist >"},
        {"<plist> inside the products", catalogOf("<key>Products</key><plist><dict>" +
                                                  product("p", kInstaller) + "</dict></plist>")},
    };
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"text after the root", catalogOf(good) + " <<junk"},
        {"a second <plist>", catalogOf(good) + "<plist><bad"},
        {"no </plist>", "<plist><dict>" + good + "</dict>"},
        {"values after an empty root inside <plist>", "<plist><dict/>" + good + "</plist>"},
        {"text between values", catalogOf(good + "x")},
        {"CDATA between values", catalogOf(good + "<![CDATA[ ]]>")},
        {"an empty root dictionary with values after it", "<dict/>" + good},
        {"a DOCTYPE with an internal subset",
         "<?xml version=\"1.0\"?><!DOCTYPE plist [ <!ENTITY a \"]>\"> ]>" + inPlist},
        {"a DOCTYPE whose identifier holds a \">\"", "<!DOCTYPE plist SYSTEM 'a>'>" + inPlist},
        {"a processing instruction", "<?pi \"?>\"?>" + catalogOf(good)},
        {"an attribute value with a \">\"", "<plist><dict><key a='>'>Products</key><dict>" +
                                                product("p", kInstaller) +
                                                "</dict></dict></plist>"},
        {"an unknown entity outside the products",
         catalogOf(good + "<key>x</key><string>&bogus;</string>")},
        {"an unknown entity in a product key",
         catalogOf("<key>Products</key><dict><key>&bogus;</key></dict>")},
        {"an unknown entity deep in a product",
         catalogOf(products(product("p", kInstaller + "<key>s</key><string>&x;</string>")))},
        {"a NUL character reference", catalogOf(products(product("p&#x00;", kInstaller)))},
        {"a value without a key", catalogOf(good + "<string>x</string>")},
        {"an unknown tag", catalogOf(good + "<foo/>")},
        {"<key/> where a key should be", catalogOf(good + "<key/><string>v</string>")},
        {"an unknown tag as a value", catalogOf(good + "<key>x</key><foo/>")},
        {"a wrong closing tag", "<plist><dict>" + good + "</array></plist>"},
        {"cut short", catalogOf(good).substr(0, 150)},
        {"an element inside a string", catalogOf(good + "<key>x</key><string>a<true/></string>")},
        {"an array root", "<plist><array>" + good + "</array></plist>"},
        {"a string root", "<plist><string>Products</string></plist>"},
        {"shorter than 8 bytes", "<dict/>"},
        {"empty", ""},
        {"only a comment", "<plist><!-- x --></plist>"},
    };
    const auto expect = [](const std::string& name, const std::string& body, Outcome outcome,
                           const std::vector<std::string>& keys) {
        SCOPED_TRACE(name);
        const Summary summary = readBothWays(body);
        EXPECT_EQ(summary.outcome, outcome);
        EXPECT_EQ(summary.keys, keys);
    };
    for (const auto& [name, body] : readAsP) {
        expect(name, body, Outcome::Candidates, {"p"});
    }
    for (const auto& [name, body] : refused) {
        expect(name, body, Outcome::NotADictionary, {});
    }
    expect("a key followed by a key names a string",
           catalogOf("<key>Products</key><dict>" + product("a", kInstaller) +
                     "<key>a</key><key>b</key>" + product("c", kInstaller) + "</dict>"),
           Outcome::Candidates, {"c"});
    expect("products of other types",
           catalogOf("<key>Products</key><dict><key>s</key><string>x</string><key>e</key><dict/>"
                     "<key>d</key><data>AAAA</data><key>t</key><true/></dict>"),
           Outcome::Candidates, {});
    expect("no Products", catalogOf("<key>Other</key><dict/>"), Outcome::NoProductsDictionary, {});
}

}  // namespace
}  // namespace vantrel
