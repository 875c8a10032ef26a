// The catalog read in one pass of a streaming XML parser (platform/PlistXmlStream). The walk
// finds the root's "Products" dictionary and, for each product, whether it holds
// "ExtendedMetaInfo"/"InstallAssistantPackageIdentifiers" as dictionaries: only such a
// product can be an installer or get the "no" line, and only its bytes are handed to the
// property-list library. Every other value is checked for the shape of a property list as it
// streams past (known tags, a key before each value of a dictionary, nothing inside leaves)
// and no tree is built for it. So the catalog's bytes, the product keys and the candidates
// are held, each of them bounded, and one product's tree at a time.

#include <array>
#include <deque>
#include <unordered_map>

#include "caching/Catalog.h"
#include "plist/PlistLimits.h"
#include "plist/PlistXmlStream.h"

namespace vantrel {

namespace {

// Every product key is kept once, for its place among the candidates (about 100 bytes
// besides its text): ten times the products of today's largest catalogs.
constexpr std::size_t kMaxCatalogProducts = 200'000;

// The depths (elements open, the root value being 1) of the values the walk looks into.
constexpr std::size_t kProductsDepth = 2;
constexpr std::size_t kProductDepth = 3;
constexpr std::size_t kMetaInfoDepth = 4;
constexpr std::size_t kIdentifiersDepth = 5;

// The products of the "Products" dictionary read so far. A key met again keeps its first
// place and takes the later value, as the library's dictionary does.
class ProductTable {
  public:
    void clear() {
        entries_.clear();
        places_.clear();
    }

    // False when the table is full: the catalog is then refused.
    bool set(const std::string& key, ProductKind kind, plist::Plist product) {
        const auto place = places_.find(key);
        if (place != places_.end()) {
            entries_[place->second].kind = kind;
            entries_[place->second].product = std::move(product);
            return true;
        }
        if (entries_.size() == kMaxCatalogProducts) {
            return false;
        }
        entries_.push_back({key, kind, std::move(product)});
        places_.emplace(entries_.back().key, entries_.size() - 1);
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
        plist::Plist product;  // kept for candidates only
    };
    std::deque<Entry> entries_;  // which never moves an entry: places_ names their keys
    std::unordered_map<std::string_view, std::size_t> places_;
};

enum class Tag { Dictionary, Array, Key, Leaf, Unknown };

Tag tagOf(std::string_view name) {
    if (name == "dict") {
        return Tag::Dictionary;
    }
    if (name == "array") {
        return Tag::Array;
    }
    if (name == "key") {
        return Tag::Key;
    }
    if (name == "string" || name == "integer" || name == "real" || name == "date" ||
        name == "data" || name == "true" || name == "false") {
        return Tag::Leaf;
    }
    return Tag::Unknown;
}

bool isBlank(std::string_view text) {
    return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

class CatalogWalk : public plist::PlistXmlStream {
  public:
    explicit CatalogWalk(std::string_view body)
        : PlistXmlStream(plist::kMaxPlistDepth), body_(body) {}

    CatalogReading reading(const std::function<void(std::string_view)>& printLine) {
        CatalogReading out;
        if (!rootIsDictionary_) {
            return out;
        }
        if (!productsIsDictionary_) {
            out.outcome = CatalogReading::Outcome::NoProductsDictionary;
            return out;
        }
        out.outcome = CatalogReading::Outcome::Candidates;
        out.candidates = products_.candidates(printLine);
        return out;
    }

  private:
    // One open value element.
    struct Open {
        Tag tag = Tag::Unknown;
        bool isKeyName = false;   // a <key> that names the next value of its dictionary
        bool keyPending = false;  // a dictionary whose last key waits for its value
        bool isProduct = false;   // a product of "Products" that is a dictionary
    };

    // Keys are kept only down to the depth the walk looks into, by the depth of the value
    // they name: the key waiting for its value, and the key of the value open there.
    static bool keysKeptAt(std::size_t depth) { return depth <= kIdentifiersDepth; }

    bool opened(std::string_view name, std::size_t depth, std::size_t at,
                bool selfClosing) override {
        if (depth == 0) {
            return true;  // <plist>: no value
        }
        ++elements_;
        const Tag tag = tagOf(name);
        if (tag == Tag::Unknown) {
            return false;
        }
        Open value;
        value.tag = tag;
        if (open_.empty()) {
            // The root (the stream lets one through): any other than a dictionary makes no
            // catalog, read or not.
            rootSeen_ = true;
            rootIsDictionary_ = tag == Tag::Dictionary;
            open_.push_back(value);
            return rootIsDictionary_;
        }
        Open& parent = open_.back();
        if (parent.tag != Tag::Dictionary && parent.tag != Tag::Array) {
            return false;  // an element inside text
        }
        if (keysKeptAt(depth)) {
            valueKey_[depth].clear();
        }
        if (parent.tag == Tag::Dictionary) {
            if (tag == Tag::Key && !parent.keyPending && !selfClosing) {
                value.isKeyName = true;  // a key; "<key/>" and a key after a key are strings
                keyText_.clear();
                open_.push_back(value);
                return true;
            }
            if (!parent.keyPending) {
                return false;  // a value without a key
            }
            parent.keyPending = false;
            if (keysKeptAt(depth)) {
                valueKey_[depth].swap(pendingKey_[depth]);
            }
        }
        if (!valueBegins(value, depth, at, selfClosing)) {
            return false;
        }
        open_.push_back(value);
        return true;
    }

    // What the walk makes of a value where it looks: the root's "Products", a product, and
    // the two dictionaries inside a product that make it one to read.
    bool valueBegins(Open& value, std::size_t depth, std::size_t at, bool selfClosing) {
        const bool dictionary = value.tag == Tag::Dictionary;
        if (depth == kProductsDepth && valueKey_[depth] == "Products") {
            // The root's last "Products" is the one that counts.
            productsIsDictionary_ = dictionary;
            inProducts_ = dictionary && !selfClosing;
            products_.clear();
        } else if (depth == kProductDepth && inProducts_) {
            if (!dictionary || selfClosing) {
                return products_.set(valueKey_[depth], ProductKind::Other, nullptr);
            }
            value.isProduct = true;
            productStart_ = at;
            productElements_ = elements_;
            productMayBeInstaller_ = false;
        } else if (depth == kIdentifiersDepth && inProducts_ && dictionary &&
                   valueKey_[depth] == "InstallAssistantPackageIdentifiers" &&
                   valueKey_[kMetaInfoDepth] == "ExtendedMetaInfo" &&
                   open_.back().tag == Tag::Dictionary) {
            productMayBeInstaller_ = true;
        }
        return true;
    }

    bool closed(std::string_view, std::size_t depth, std::size_t end) override {
        if (depth == 0) {
            return true;
        }
        const Open value = open_.back();
        open_.pop_back();
        if (value.isKeyName) {
            // A dictionary's key with nothing after it goes with the dictionary.
            open_.back().keyPending = true;
            if (keysKeptAt(depth)) {
                pendingKey_[depth].swap(keyText_);
            }
            return true;
        }
        if (depth == kProductsDepth && inProducts_ && valueKey_[depth] == "Products") {
            inProducts_ = false;
        } else if (value.isProduct) {
            return productEnds(valueKey_[depth], end);
        }
        return true;
    }

    bool productEnds(const std::string& key, std::size_t end) {
        if (!productMayBeInstaller_) {
            return products_.set(key, ProductKind::Other, nullptr);
        }
        const std::size_t values = elements_ - productElements_ + 1;
        keptValues_ += values;
        if (keptValues_ > plist::kMaxPlistValues) {
            return false;
        }
        plist::Plist product =
            plist::parseXmlPlistElement(body_.substr(productStart_, end - productStart_));
        if (!product) {
            return false;
        }
        const ProductKind kind = classifyProduct(product.get());
        if (kind != ProductKind::Installer) {
            keptValues_ -= values;
            product.reset();
        }
        return products_.set(key, kind, std::move(product));
    }

    bool textRead(std::string_view text, std::size_t depth, bool inCData) override {
        if (open_.empty()) {
            // Inside <plist>: the library gives up on text before the root and reads no
            // further than the root's end.
            return rootSeen_ || (!inCData && isBlank(text));
        }
        const Open& value = open_.back();
        if (value.tag == Tag::Dictionary || value.tag == Tag::Array) {
            return !inCData && isBlank(text);  // only layout between values
        }
        if (value.isKeyName && keysKeptAt(depth)) {
            keyText_.append(text);
        }
        return true;
    }

    std::string_view body_;
    std::vector<Open> open_;
    std::string keyText_;
    std::array<std::string, kIdentifiersDepth + 1> pendingKey_;
    std::array<std::string, kIdentifiersDepth + 1> valueKey_;
    std::size_t elements_ = 0;
    bool rootSeen_ = false;
    bool rootIsDictionary_ = false;
    bool productsIsDictionary_ = false;
    bool inProducts_ = false;
    std::size_t productStart_ = 0;
    std::size_t productElements_ = 0;
    bool productMayBeInstaller_ = false;
    std::size_t keptValues_ = 0;
    ProductTable products_;
};

}  // namespace

CatalogReading readCatalog(std::string_view body,
                           const std::function<void(std::string_view)>& printLine) {
    if (body.size() >= 8 && plist_is_binary(body.data(), static_cast<std::uint32_t>(8))) {
        return readCatalogTree(body, printLine);  // a binary list is read whole, bounded
    }
    CatalogWalk walk(body);
    if (body.size() < 8 || !walk.read(body)) {
        return {};
    }
    return walk.reading(printLine);
}

}  // namespace vantrel
