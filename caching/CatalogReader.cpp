// The catalog's installer products, from the streaming reader of plist/: each product that
// may be an installer is classified as it ends and its tree kept only when it is one.

#include <deque>
#include <unordered_map>

#include "caching/Catalog.h"
#include "plist/CatalogProducts.h"
#include "plist/PlistLimits.h"

namespace vantrel {

namespace {

// Every product key is kept once, for its place among the candidates (about 100 bytes
// besides its text): ten times the products of today's largest catalogs.
constexpr std::size_t kMaxCatalogProducts = 200'000;

// The products of the "Products" dictionary read so far. A key met again keeps its first
// place and takes the later value, as the library's dictionary does. The trees kept hold at
// most the values one property list may hold.
class ProductTable final : public plist::CatalogProductSink {
  public:
    void productsBegin() override {
        entries_.clear();
        places_.clear();
        keptValues_ = 0;
    }

    bool otherProduct(std::string_view key) override {
        return set(key, ProductKind::Other, nullptr, 0);
    }

    bool possibleInstaller(std::string_view key, plist::Plist product,
                           std::size_t values) override {
        const ProductKind kind = classifyProduct(product.get());
        if (kind != ProductKind::Installer) {
            return set(key, kind, nullptr, 0);
        }
        return set(key, kind, std::move(product), values);
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
        plist::Plist product;  // kept for candidates only
        std::size_t values = 0;
    };

    // False when the table is full or would keep too many values: the catalog is then refused.
    bool set(std::string_view key, ProductKind kind, plist::Plist product, std::size_t values) {
        keptValues_ += values;
        if (keptValues_ > plist::kMaxPlistValues) {
            return false;
        }
        const auto place = places_.find(key);
        if (place != places_.end()) {
            Entry& entry = entries_[place->second];
            keptValues_ -= entry.values;
            entry.kind = kind;
            entry.product = std::move(product);
            entry.values = values;
            return true;
        }
        if (entries_.size() == kMaxCatalogProducts) {
            return false;
        }
        entries_.push_back({std::string(key), kind, std::move(product), values});
        places_.emplace(entries_.back().key, entries_.size() - 1);
        return true;
    }

    std::deque<Entry> entries_;  // which never moves an entry: places_ names their keys
    std::unordered_map<std::string_view, std::size_t> places_;
    std::size_t keptValues_ = 0;
};

CatalogReading readingOf(plist::CatalogShape shape, ProductTable& table,
                         const std::function<void(std::string_view)>& printLine) {
    CatalogReading out;
    switch (shape) {
        case plist::CatalogShape::NotADictionary:
            break;
        case plist::CatalogShape::NoProductsDictionary:
            out.outcome = CatalogReading::Outcome::NoProductsDictionary;
            break;
        case plist::CatalogShape::Products:
            out.outcome = CatalogReading::Outcome::Candidates;
            out.candidates = table.candidates(printLine);
            break;
    }
    return out;
}

}  // namespace

struct CatalogStreamReader::State {
    ProductTable table;
    plist::CatalogProductReader reader{table};
};

CatalogStreamReader::CatalogStreamReader() : state_(std::make_unique<State>()) {}

CatalogStreamReader::~CatalogStreamReader() = default;

bool CatalogStreamReader::append(std::string_view bytes) {
    return state_->reader.append(bytes);
}

CatalogReading CatalogStreamReader::finish(const std::function<void(std::string_view)>& printLine) {
    return readingOf(state_->reader.finish(), state_->table, printLine);
}

CatalogReading readCatalog(std::string_view body,
                           const std::function<void(std::string_view)>& printLine) {
    ProductTable table;
    return readingOf(plist::readCatalogProducts(body, table), table, printLine);
}

}  // namespace vantrel
