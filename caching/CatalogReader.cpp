// The catalog read one product at a time. Parsed whole, a catalog's tree takes four to six
// times its bytes; here the walk of platform/PlistXmlScanner finds the root's "Products"
// dictionary and hands each product's element to the property-list library on its own, so
// only the catalog's bytes, one product's tree, the product keys and the candidates are held,
// each of them bounded.
// Every other value of the root is parsed too (and dropped), so that a document the library
// would refuse is refused here as well.

#include <unordered_map>

#include "caching/Catalog.h"
#include "platform/PlistLimits.h"
#include "platform/PlistXmlScanner.h"

namespace vantrel {

namespace {

using platform::PlistXmlKind;
using platform::PlistXmlValue;

// Every product key is kept, for its place among the candidates (about 150 bytes each): ten
// times the products of today's largest catalogs.
constexpr std::size_t kMaxCatalogProducts = 200'000;

// The products of the "Products" dictionary read so far. A key met again keeps its first
// place and takes the later value, as the library's dictionary does.
class ProductTable {
  public:
    void clear() {
        entries_.clear();
        places_.clear();
    }

    // False when the table is full: the catalog is then refused.
    bool set(std::string_view key, ProductKind kind, platform::Plist product) {
        auto [place, added] = places_.try_emplace(std::string(key), entries_.size());
        if (added) {
            if (entries_.size() == kMaxCatalogProducts) {
                return false;
            }
            entries_.push_back({std::string(key), kind, std::move(product)});
            return true;
        }
        entries_[place->second].kind = kind;
        entries_[place->second].product = std::move(product);
        return true;
    }

    CandidateSet candidates(const std::function<void(std::string_view)>& printLine) {
        CandidateSet out;
        for (auto& entry : entries_) {
            if (entry.kind == ProductKind::NoOSInstall) {
                printLine("no");
            } else if (entry.kind == ProductKind::Installer) {
                out.push_back({std::move(entry.key), std::move(entry.product)});
            }
        }
        return out;
    }

  private:
    struct Entry {
        std::string key;
        ProductKind kind;
        platform::Plist product;  // kept for candidates only
    };
    std::vector<Entry> entries_;
    std::unordered_map<std::string, std::size_t> places_;
};

class CatalogVisitor : public platform::PlistXmlVisitor {
  public:
    bool valueOpened(const PlistXmlValue& value) override {
        if (value.depth == 0) {
            rootIsDictionary_ = value.kind == PlistXmlKind::Dictionary;
            return rootIsDictionary_;  // any other root makes no catalog, read or not
        }
        if (value.depth == 1 && value.key == "Products") {
            // The root's last "Products" is the one that counts.
            productsSeen_ = true;
            productsIsDictionary_ = value.kind == PlistXmlKind::Dictionary;
            inProducts_ = productsIsDictionary_;
            products_.clear();
        }
        return true;
    }

    bool valueClosed(const PlistXmlValue& value) override {
        if (value.depth == 1) {
            if (inProducts_) {
                inProducts_ = false;  // its products have been read one by one
                return true;
            }
            return platform::parseXmlPlistElement(value.element) != nullptr;
        }
        if (value.depth == 2 && inProducts_) {
            platform::Plist product = platform::parseXmlPlistElement(value.element);
            if (!product) {
                return false;
            }
            const ProductKind kind = classifyProduct(product.get());
            if (kind != ProductKind::Installer) {
                product.reset();
            } else {
                // The candidates kept together are bounded like one tree.
                keptValues_ += platform::plistValuesAtMost(value.element);
                if (keptValues_ > platform::kMaxPlistValues) {
                    return false;
                }
            }
            return products_.set(value.key, kind, std::move(product));
        }
        return true;  // deeper values are judged with the value of depth 1 that holds them
    }

    CatalogReading reading(const std::function<void(std::string_view)>& printLine) {
        CatalogReading out;
        if (!rootIsDictionary_) {
            return out;
        }
        if (!productsSeen_ || !productsIsDictionary_) {
            out.outcome = CatalogReading::Outcome::NoProductsDictionary;
            return out;
        }
        out.outcome = CatalogReading::Outcome::Candidates;
        out.candidates = products_.candidates(printLine);
        return out;
    }

  private:
    bool rootIsDictionary_ = false;
    bool productsSeen_ = false;
    bool productsIsDictionary_ = false;
    bool inProducts_ = false;
    std::size_t keptValues_ = 0;
    ProductTable products_;
};

}  // namespace

CatalogReading readCatalog(std::string_view body,
                           const std::function<void(std::string_view)>& printLine) {
    if (body.size() >= 8 && plist_is_binary(body.data(), static_cast<std::uint32_t>(8))) {
        return readCatalogTree(body, printLine);  // a binary list cannot be walked as text
    }
    CatalogVisitor visitor;
    if (!platform::scanXmlPlist(body, 2, visitor)) {
        return {};
    }
    return visitor.reading(printLine);
}

}  // namespace vantrel
