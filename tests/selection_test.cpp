#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "caching/HardwareIdentity.h"
#include "caching/ProductSelection.h"
#include "caching/XmlPath.h"
#include "tests/caching_fixture.h"
#include "tests/support/InProcessMac.h"

namespace vantrel {
namespace {

using cachingtest::BareMac;
using Lines = std::vector<std::string>;

// A distribution file as the server offers one: three scripts in CDATA, then the auxinfo.
std::string dist(const std::string& boards, const std::string& refusedModels,
                 const std::string& build, const std::string& version) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<installer-gui-script>"
           "<title>SU_TITLE</title><script><![CDATA[\nvar boardIds = [" +
           boards + "];\n]]></script><script><![CDATA[function f() { return true; }]]></script>" +
           "<script><![CDATA[\nvar nonSupportedModels = [" + refusedModels +
           "];\n]]></script><auxinfo><dict><key>BUILD</key><string>" + build +
           "</string><key>VERSION</key><string>" + version +
           "</string></dict></auxinfo></installer-gui-script>\n";
}

std::string smd(const std::string& title) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>localization</key><dict><key>English</key><dict><key>description</key>"
           "<string>An update.</string><key>title</key><string>" +
           title + "</string></dict></dict></dict></plist>\n";
}

// A candidate with its distribution files and packages, its documents served by `Documents`.
struct Product {
    std::string key;
    std::vector<std::pair<std::string, std::string>> distributions;  // language, URL text
    std::vector<std::string> packages;
    std::string metadataURL;
};

Candidate candidate(const Product& spec) {
    std::string xml = "<plist><dict><key>Distributions</key><dict>";
    for (const auto& [language, url] : spec.distributions) {
        xml += "<key>" + language + "</key><string>" + url + "</string>";
    }
    xml += "</dict><key>Packages</key><array>";
    for (const auto& url : spec.packages) {
        xml += "<dict><key>URL</key><string>" + url + "</string></dict>";
    }
    xml += "</array>";
    if (!spec.metadataURL.empty()) {
        xml += "<key>ServerMetadataURL</key><string>" + spec.metadataURL + "</string>";
    }
    return {spec.key, plist::parsePlist(xml + "</dict></plist>")};
}

// The usual product "p<n>": one English distribution, two packages, metadata.
Product standard(const std::string& n) {
    const std::string base = "https://su.test/" + n + "/";
    return {n,
            {{"English", base + n + ".English.dist"}},
            {base + "A.pkg", base + "B.pkg"},
            base + n + ".smd"};
}

class Selection : public ::testing::Test {
  protected:
    BareMac mac;
    std::map<std::string, std::string> documents;
    std::vector<std::string> fetched;
    Lines lines;
    HardwareIdentity hardware{"Mac-BOARD", "MacBookPro9,1", false};
    platform::OSVersion running{10, 15, 5};
    std::map<std::string, std::string> cachedBuilds;  // installer path -> build

    void serve(const std::string& n, const std::string& boards = "'Mac-BOARD'",
               const std::string& models = "'iMac14,1'", const std::string& build = "19H15",
               const std::string& version = "10.15.7",
               const std::string& title = "macOS Catalina") {
        const std::string base = "https://su.test/" + n + "/";
        documents[base + n + ".English.dist"] = dist(boards, models, build, version);
        documents[base + n + ".smd"] = smd(title);
    }

    SelectionServices services() {
        SelectionServices s;
        s.hardwareIdentity = [this] { return hardware; };
        s.runningVersion = [this] { return running; };
        s.fetchDocument = [this](const std::string& url, std::string* failure) {
            fetched.push_back(url);
            const auto found = documents.find(url);
            if (found == documents.end()) {
                *failure = "the server answered with HTTP status 404";
                return std::optional<std::string>();
            }
            return std::optional<std::string>(found->second);
        };
        s.readCachedBuild = [this](const std::string& path) { return cachedBuilds[path]; };
        s.printLine = [this](std::string_view line) { lines.emplace_back(line); };
        s.isValidURL = [this](std::string_view url) { return net::isValidURL(mac.network(), url); };
        return s;
    }

    std::vector<std::string> select(const std::vector<Product>& products,
                                    std::optional<std::string> cached = std::nullopt,
                                    const std::string& osNamed = "Catalina") {
        CandidateSet candidates;
        for (const auto& product : products) {
            candidates.push_back(candidate(product));
        }
        return selectProductURLs(candidates, {osNamed, std::move(cached)}, services());
    }

    static std::vector<std::string> urlsOf(const Product& p) {
        std::vector<std::string> out{p.distributions.front().second};
        out.insert(out.end(), p.packages.begin(), p.packages.end());
        return out;
    }
};

TEST(XmlPath, CollectsTextAndCDataInDocumentOrderAndSkipsElements) {
    const auto document =
        parseXmlDocument("<r><a>one<b>x</b><![CDATA[two]]></a><c>no</c><a><b>y</b>three</a></r>");
    ASSERT_TRUE(document);
    EXPECT_EQ(nodeValues(*document, {"r", "a", "#text"}), (Lines{"one", "two", "three"}));
    EXPECT_EQ(nodeValues(*document, {"r", "a", "#text"}, 2), (Lines{"one", "two"}));
    EXPECT_EQ(nodeValues(*document, {"r", "a", "b", "#text"}), (Lines{"x", "y"}));
    EXPECT_TRUE(nodeValues(*document, {"r", "a"}).empty());      // elements have no value
    EXPECT_TRUE(nodeValues(*document, {"a", "#text"}).empty());  // starts at the document
    EXPECT_FALSE(parseXmlDocument("<r><a></r>"));
    EXPECT_FALSE(parseXmlDocument("not xml at all"));
}

TEST(XmlPath, NeverLoadsExternalEntities) {
    const auto document = parseXmlDocument(
        "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
        "<r>&x;</r>");
    if (document) {
        for (const auto& value : nodeValues(*document, {"r", "#text"})) {
            EXPECT_EQ(value.find("root:"), std::string::npos);
        }
    }
}

TEST(HardwareIdentityDecoding, NulsAreRemovedAndBadBytesReplaced) {
    EXPECT_EQ(propertyText({'M', 'a', 'c', '-', '1', 0}), "Mac-1");
    EXPECT_EQ(propertyText({'M', 'a', 'c', 'B', 'o', 'o', 'k', 0, 'A', 'B', 0}), "MacBookAB");
    EXPECT_EQ(propertyText({'a', 0xFF, 'b', 0xC3}),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
    EXPECT_EQ(propertyText({}), "");
}

TEST(HardwareIdentityDecoding, VMMCountsOnlyAsAWholeWord) {
    for (const char* yes : {"VMM FPU SSE", "FPU VMM SSE", "FPU SSE VMM", "FPU  VMM  SSE"}) {
        EXPECT_TRUE(featuresNameVMM(yes)) << yes;
    }
    for (const char* no : {"FPU VMMX SSE", "FPU vmm SSE", ""}) {
        EXPECT_FALSE(featuresNameVMM(no)) << no;
    }
    EXPECT_FALSE(featuresNameVMM(std::string("FPU\0VMM", 7)));  // the text ends at the NUL
}

TEST(HardwareIdentityDecoding, ReadsTheSimulatedMacsFacts) {
    BareMac vm("10.15.7", "Mac-VM", true);
    const HardwareIdentity identity =
        readHardwareIdentity(testsupport::inProcessServices().machine);
    EXPECT_EQ(identity.boardID, "Mac-VM");
    EXPECT_EQ(identity.model, "");  // no "compatible" on this Mac
    EXPECT_TRUE(identity.virtualMachine);
}

TEST(ProductVersionText, ThreeIntegersWithOptionalSigns) {
    EXPECT_EQ(productVersion("10.15.7"), (platform::OSVersion{10, 15, 7}));
    EXPECT_EQ(productVersion("10.15.7.1"), (platform::OSVersion{10, 15, 7}));
    EXPECT_EQ(productVersion("+10.-1.07"), (platform::OSVersion{10, -1, 7}));
    for (const char* bad : {"10.15", "10.15.", "10..7", "10.15.x", "10.15.7b", " 10.15.7",
                            "10.15.+-7", "", "99999999999999999999.1.1"}) {
        EXPECT_FALSE(productVersion(bad)) << bad;
    }
}

TEST_F(Selection, HardwareTestFollowsBoardModelAndVirtualMachine) {
    serve("listed", "'Mac-OTHER','Mac-BOARD'", "'iMac14,1'");
    serve("refused", "'Mac-BOARD'", "'MacBookPro9,1','iMac14,1'");
    serve("unlisted", "'Mac-OTHER'", "'iMac14,1'");
    const auto listed = standard("listed");
    const auto refused = standard("refused");
    const auto unlisted = standard("unlisted");
    EXPECT_EQ(select({listed, refused, unlisted}), urlsOf(listed));

    hardware.virtualMachine = true;  // every product fits on a virtual machine
    auto all = urlsOf(listed);
    for (const auto& p : {refused, unlisted}) {
        const auto more = urlsOf(p);
        all.insert(all.end(), more.begin(), more.end());
    }
    EXPECT_EQ(select({listed, refused, unlisted}), all);

    hardware = {"", "", false};  // an empty board id is found nowhere
    EXPECT_TRUE(select({listed, refused, unlisted}).empty());
    EXPECT_TRUE(lines.empty());
}

TEST_F(Selection, VersionTestKeepsTheRunningVersionAndNewer) {
    serve("same", "'Mac-BOARD'", "''", "19F101", "10.15.5");
    serve("newer", "'Mac-BOARD'", "''", "19H15", "10.15.7");
    serve("older", "'Mac-BOARD'", "''", "18G103", "10.14.6");
    const auto same = standard("same");
    const auto newer = standard("newer");
    const auto older = standard("older");
    auto expected = urlsOf(same);
    const auto more = urlsOf(newer);
    expected.insert(expected.end(), more.begin(), more.end());
    EXPECT_EQ(select({same, older, newer}), expected);
    // The metadata of a product that failed the version test is never fetched.
    EXPECT_EQ(std::count(fetched.begin(), fetched.end(), older.metadataURL), 0);
}

TEST_F(Selection, ReleaseNameMustMatchExactly) {
    serve("p1");
    serve("mojave", "'Mac-BOARD'", "''", "18G103", "10.15.9", "macOS Mojave");
    const auto p1 = standard("p1");
    const auto mojave = standard("mojave");
    EXPECT_EQ(select({p1, mojave}), urlsOf(p1));
    EXPECT_TRUE(select({p1}, std::nullopt, "catalina").empty());
    EXPECT_EQ(select({mojave}, std::nullopt, "Mojave"), urlsOf(mojave));
    EXPECT_TRUE(lines.empty());
}

TEST_F(Selection, CachedBuildEqualToAKeptProductStopsTheSelection) {
    serve("first", "'Mac-BOARD'", "''", "19G73", "10.15.6");
    serve("second", "'Mac-BOARD'", "''", "19H15", "10.15.7");
    serve("third", "'Mac-BOARD'", "''", "19H2", "10.15.7");
    cachedBuilds["/Cached.app"] = "19H15";
    const auto first = standard("first");
    const auto second = standard("second");
    const auto third = standard("third");
    EXPECT_EQ(select({first, second, third}, "/Cached.app"), urlsOf(first));
    EXPECT_EQ(lines, (Lines{"Available Version: 10.15.6", "Cached Build: 19H15",
                            "A newer build is available: 19G73", "Latest build is cached: 19H15"}));
    EXPECT_EQ(std::count(fetched.begin(), fetched.end(), third.distributions[0].second), 0);
    const std::string log = mac.log();
    EXPECT_NE(log.find("[caching] <Debug> Available Version: 10.15.6"), std::string::npos);
    EXPECT_NE(log.find("[caching] <Debug> Cached Build: 19H15"), std::string::npos);
    EXPECT_NE(log.find("[caching] <Debug> Available Version: 19G73"), std::string::npos);
    EXPECT_NE(log.find("[caching] <Default> Latest build is cached: 19H15"), std::string::npos);

    lines.clear();
    EXPECT_TRUE(select({second, first}, "/Cached.app").empty());
    EXPECT_EQ(lines, Lines{"Latest build is cached: 19H15"});

    // An unreadable cached build counts as older.
    lines.clear();
    EXPECT_EQ(select({third}, "/Broken.app"), urlsOf(third));
    EXPECT_EQ(lines, (Lines{"Available Version: 10.15.7",
                            "Cached Build: ", "A newer build is available: 19H2"}));
}

TEST_F(Selection, EveryReadLanguageIsTestedOnceAndOthersArePassedOver) {
    serve("p1");
    Product p = standard("p1");
    const std::string url = p.distributions[0].second;
    p.distributions = {{"English", url}, {"english", url}, {"EN", url}, {"en", url}, {"fr", url}};
    auto twice = urlsOf(p);
    const auto again = urlsOf(p);
    twice.insert(twice.end(), again.begin(), again.end());
    EXPECT_EQ(select({p}), twice);
}

// Too much markup is refused before it is parsed: tiny scripts and attributes make a tree of
// several times the text's size.
TEST_F(Selection, ABrokenOrOversizedDocumentSkipsItsProductWithALineAndTheRestGoesOn) {
    for (const char* n : {"good", "notXml", "heavyDist", "heavySmd"}) {
        serve(n);
    }
    documents["https://su.test/notXml/notXml.English.dist"] = "<html>Oops";
    std::string padding;
    for (std::size_t i = 0; i <= kMaxXmlMarkup / 2; ++i) {
        padding += "<script a=\"\"/>";
    }
    std::string& heavyDist = documents["https://su.test/heavyDist/heavyDist.English.dist"];
    heavyDist.insert(heavyDist.rfind("</installer-gui-script>"), padding);
    std::string& heavySmd = documents["https://su.test/heavySmd/heavySmd.smd"];
    heavySmd.insert(heavySmd.rfind("</plist>"), "<!--" + padding + "-->");
    auto badURL = standard("good");
    badURL.key = "badURL";
    badURL.metadataURL = "https://su.test/with space.smd";  // not a URL: skipped silently
    const auto good = standard("good");
    EXPECT_EQ(select({standard("missing"), standard("notXml"), badURL, standard("heavyDist"),
                      standard("heavySmd"), good}),
              urlsOf(good));
    EXPECT_EQ(lines, (Lines{"Skipping product missing: could not fetch its distribution file "
                            "https://su.test/missing/missing.English.dist: the server answered "
                            "with HTTP status 404",
                            "Skipping product notXml: its distribution file "
                            "https://su.test/notXml/notXml.English.dist is not XML",
                            "Skipping product heavyDist: its distribution file "
                            "https://su.test/heavyDist/heavyDist.English.dist holds more than "
                            "250000 tags and attributes",
                            "Skipping product heavySmd: its server metadata "
                            "https://su.test/heavySmd/heavySmd.smd holds more than 250000 tags "
                            "and attributes"}));
}

}  // namespace
}  // namespace vantrel
