// Property lists are measured before the property-list library sees them: nesting, values and
// (binary) expanded text are bounded, reference cycles refused. Each document here would
// overflow the stack or take hundreds of MiB without the bounds.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "caching/Catalog.h"
#include "plist/BinaryPlistShape.h"
#include "plist/Plist.h"
#include "plist/PlistLimits.h"

namespace vantrel {
namespace {

using plist::kMaxPlistDepth;
using plist::kMaxPlistValues;

std::string repeat(std::string_view piece, std::size_t times) {
    std::string out;
    out.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

std::string nestedArrays(std::size_t depth) {
    return repeat("<array>", depth) + repeat("</array>", depth);
}

std::string xmlPlist(const std::string& root) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">" + root + "</plist>";
}

const std::string kInstaller =
    "<key>ExtendedMetaInfo</key><dict><key>InstallAssistantPackageIdentifiers</key><dict>"
    "<key>OSInstall</key><string>com.apple.mpkg.OSInstall</string></dict></dict>";

// A catalog with one installer product "p" whose dictionary also holds `extra`, and `rootExtra`
// among the root's own values.
std::string catalog(const std::string& extra, const std::string& rootExtra = "") {
    return xmlPlist("<dict><key>Products</key><dict><key>p</key><dict>" + kInstaller + extra +
                    "</dict></dict>" + rootExtra + "</dict>");
}

CatalogReading::Outcome readStreamed(const std::string& body) {
    return readCatalog(body, [](std::string_view) {}).outcome;
}

CatalogReading::Outcome readWhole(const std::string& body) {
    return readCatalogTree(body, [](std::string_view) {}).outcome;
}

// A binary property list written object by object: 4-byte offsets and references.
class BinaryPlist {
  public:
    std::uint32_t add(std::string object) {
        objects_.push_back(std::move(object));
        return static_cast<std::uint32_t>(objects_.size() - 1);
    }
    void set(std::uint32_t index, std::string object) { objects_[index] = std::move(object); }

    static std::string array(const std::vector<std::uint32_t>& references) {
        std::string out(1, static_cast<char>(0xAF));
        out += '\x12';
        appendBigEndian(out, references.size(), 4);
        for (const auto reference : references) {
            appendBigEndian(out, reference, 4);
        }
        return out;
    }
    static std::string text(std::size_t length) {
        std::string out = "\x5F\x12";
        appendBigEndian(out, length, 4);
        return out + std::string(length, 'a');
    }
    static std::string yes() { return std::string(1, '\x09'); }

    std::string bytes(std::uint32_t top = 0) const {
        std::string out = "bplist00";
        std::vector<std::size_t> offsets;
        for (const auto& object : objects_) {
            offsets.push_back(out.size());
            out += object;
        }
        const std::size_t table = out.size();
        for (const auto offset : offsets) {
            appendBigEndian(out, offset, 4);
        }
        out += std::string(6, '\0');
        out += '\x04';  // offset size
        out += '\x04';  // reference size
        appendBigEndian(out, objects_.size(), 8);
        appendBigEndian(out, top, 8);
        appendBigEndian(out, table, 8);
        return out;
    }

  private:
    static void appendBigEndian(std::string& out, std::uint64_t value, int width) {
        for (int i = width - 1; i >= 0; --i) {
            out += static_cast<char>((value >> (8 * i)) & 0xFF);
        }
    }
    std::vector<std::string> objects_;
};

// Arrays nested `depth` deep (the array count), the innermost holding `true`.
std::string binaryNested(std::size_t depth) {
    BinaryPlist list;
    for (std::size_t i = 0; i < depth; ++i) {
        list.add(BinaryPlist::array({static_cast<std::uint32_t>(i + 1)}));
    }
    list.add(BinaryPlist::yes());
    return list.bytes();
}

TEST(PlistLimits, NestingBeyondTheBoundIsRefusedBeforeTheLibraryReadsIt) {
    // XML: containers up to the bound are read, one more is refused, and the document that
    // overflowed the stack (200,000 deep, closed or cut short) is refused whole.
    EXPECT_TRUE(plist::parsePlist(xmlPlist(nestedArrays(kMaxPlistDepth))));
    EXPECT_FALSE(plist::parsePlist(xmlPlist(nestedArrays(kMaxPlistDepth + 1))));
    EXPECT_FALSE(plist::parsePlist(xmlPlist(nestedArrays(200'000))));
    EXPECT_FALSE(plist::parsePlist(xmlPlist(repeat("<array>", 200'000))));

    // The catalog, read one product at a time or whole: too deep inside a product, or in a
    // value of the root that holds no product, is an unreadable catalog.
    using Outcome = CatalogReading::Outcome;
    const std::string shallow = "<key>x</key>" + nestedArrays(kMaxPlistDepth - 3);
    EXPECT_EQ(readStreamed(catalog(shallow)), Outcome::Candidates);
    EXPECT_EQ(readWhole(catalog(shallow)), Outcome::Candidates);
    for (const auto& deep : {catalog("<key>x</key>" + nestedArrays(200'000)),
                             catalog("", "<key>y</key>" + nestedArrays(200'000)),
                             catalog("<key>x</key>" + repeat("<array>", 200'000))}) {
        EXPECT_EQ(readStreamed(deep), Outcome::NotADictionary);
        EXPECT_EQ(readWhole(deep), Outcome::NotADictionary);
    }

    // Binary: the same bound on the nesting its references make.
    EXPECT_TRUE(plist::parsePlist(binaryNested(kMaxPlistDepth - 1)));
    EXPECT_FALSE(plist::parsePlist(binaryNested(kMaxPlistDepth)));
    EXPECT_FALSE(plist::parsePlist(binaryNested(50'000)));
}

// Markup that the library cuts into other tags than a strict XML parser: each document hides
// 200,000 nested arrays from the XML parser's count, and the library would build them and then
// free them recursively when it gives up.
TEST(PlistLimits, MarkupTheLibraryWouldReadOtherwiseIsRefused) {
    const std::string hidden = repeat("<array>", 200'000);
    const std::vector<std::pair<std::string, std::string>> documents = {
        {"quotes in processing instructions",
         "<plist><array>" + repeat("<?p \"?></array><?q \"?><array>", 200'000) +
             "</array></plist>"},
        {"a \">\" in a DOCTYPE identifier",
         "<!DOCTYPE plist SYSTEM '>" + hidden + "'><plist><array/></plist>"},
        {"\"]>\" in a comment of the DOCTYPE's internal subset",
         "<!DOCTYPE plist [<!-- ]>" + hidden + " --> ]><plist><array/></plist>"},
    };
    for (const auto& [name, xml] : documents) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(plist::parsePlist(xml));
        EXPECT_EQ(readStreamed(xml), CatalogReading::Outcome::NotADictionary);
    }
}

TEST(PlistLimits, BinaryListsWithCyclesOrSharedObjectsThatExpandTooFarAreRefused) {
    BinaryPlist self;
    self.add(BinaryPlist::array({0}));
    EXPECT_FALSE(plist::parsePlist(self.bytes()));
    BinaryPlist loop;
    loop.add(BinaryPlist::array({1, 2}));
    loop.add(BinaryPlist::yes());
    loop.add(BinaryPlist::array({3}));
    loop.add(BinaryPlist::array({2}));
    EXPECT_FALSE(plist::parsePlist(loop.bytes()));

    // One object named from many places is copied each time: 32 references to a 1 MiB text
    // pass, 40 expand past the bound on text.
    auto sharedText = [](std::size_t references) {
        BinaryPlist list;
        list.add(BinaryPlist::array(std::vector<std::uint32_t>(references, 1)));
        list.add(BinaryPlist::text(1024 * 1024 - 1));
        return list.bytes();
    };
    EXPECT_TRUE(plist::parsePlist(sharedText(32)));
    EXPECT_FALSE(plist::parsePlist(sharedText(40)));

    // Arrays of ten references to the next: 10^7 values from a list of 200 bytes.
    BinaryPlist fan;
    for (std::uint32_t level = 0; level < 7; ++level) {
        fan.add(BinaryPlist::array(std::vector<std::uint32_t>(10, level + 1)));
    }
    fan.add(BinaryPlist::yes());
    EXPECT_FALSE(plist::parsePlist(fan.bytes()));
    EXPECT_FALSE(plist::binaryPlistWithinLimits(fan.bytes(), kMaxPlistDepth, kMaxPlistValues,
                                                plist::kMaxPlistTextBytes));
    EXPECT_TRUE(plist::binaryPlistWithinLimits(fan.bytes(), kMaxPlistDepth, 20'000'000,
                                               plist::kMaxPlistTextBytes));

    // A table that points outside the list, or a reference past the last object.
    BinaryPlist past;
    past.add(BinaryPlist::array({7}));
    EXPECT_FALSE(plist::parsePlist(past.bytes()));
    std::string cut = binaryNested(3);
    cut[cut.size() - 1] = '\x7F';  // the offset table's place
    EXPECT_FALSE(plist::parsePlist(cut));
}

// `arrays` arrays of `each` values, then `more` values, in one array. (The library takes time
// that grows with the square of one container's items, so the values are spread out.)
std::string spreadArray(std::size_t arrays, std::size_t each, std::size_t more) {
    return "<array>" + repeat("<array>" + repeat("<true/>", each) + "</array>", arrays) +
           repeat("<true/>", more) + "</array>";
}

TEST(PlistLimits, ADocumentOfMoreValuesThanTheBoundIsRefusedWhole) {
    // The whole tree: the bound counts every value and key.
    static_assert(kMaxPlistValues == 500'000);
    EXPECT_TRUE(plist::parsePlist(xmlPlist(spreadArray(4999, 99, 99))));  // 500,000
    EXPECT_FALSE(plist::parsePlist(xmlPlist(spreadArray(5000, 99, 0))));  // 500,001
}

TEST(PlistLimits, ACatalogIsBoundedProductByProduct) {
    // Read one product at a time: one product over the bound, or installer products whose
    // trees together pass it, make an unreadable catalog; many small products that are no
    // installers are read.
    using Outcome = CatalogReading::Outcome;
    EXPECT_EQ(readStreamed(catalog("<key>x</key>" + spreadArray(5000, 100, 0))),
              Outcome::NotADictionary);
    // No tree is built for a value that holds no product: it may be as large as it likes.
    EXPECT_EQ(readStreamed(catalog("", "<key>y</key>" + spreadArray(5000, 100, 0))),
              Outcome::Candidates);
    const std::string half = "<key>x</key>" + spreadArray(2500, 100, 0);
    const std::string twoHalves =
        xmlPlist("<dict><key>Products</key><dict><key>a</key><dict>" + kInstaller + half +
                 "</dict><key>b</key><dict>" + kInstaller + half + "</dict></dict></dict>");
    EXPECT_EQ(readStreamed(twoHalves), Outcome::NotADictionary);
    std::string many;
    for (int i = 0; i < 3000; ++i) {
        many += "<key>o" + std::to_string(i) + "</key><dict><key>x</key>" + spreadArray(2, 100, 0) +
                "</dict>";
    }
    const CatalogReading reading =
        readCatalog(xmlPlist("<dict><key>Products</key><dict>" + many + "<key>p</key><dict>" +
                             kInstaller + "</dict></dict></dict>"),
                    [](std::string_view) {});
    EXPECT_EQ(reading.outcome, Outcome::Candidates);
    ASSERT_EQ(reading.candidates.size(), 1u);
    EXPECT_EQ(reading.candidates[0].productKey, "p");
}

TEST(PlistLimits, ACatalogHoldsAtMostTwoHundredThousandProducts) {
    using Outcome = CatalogReading::Outcome;
    // Every product key is kept for its place: at most 200,000 products.
    auto tinyProducts = [](int count) {
        std::string products;
        for (int i = 0; i < count; ++i) {
            products += "<key>" + std::to_string(i) + "</key><true/>";
        }
        return xmlPlist("<dict><key>Products</key><dict>" + products + "</dict></dict>");
    };
    EXPECT_EQ(readStreamed(tinyProducts(200'000)), Outcome::Candidates);
    EXPECT_EQ(readStreamed(tinyProducts(200'001)), Outcome::NotADictionary);
}

}  // namespace
}  // namespace vantrel
