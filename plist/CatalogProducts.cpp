// The catalog read in one pass of a streaming XML parser (PlistXmlStream). The walk finds the
// root's "Products" dictionary and, for each product, whether it holds
// "ExtendedMetaInfo"/"InstallAssistantPackageIdentifiers" as dictionaries: only such a
// product's bytes are handed to the property-list library.

#include "plist/CatalogProducts.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "plist/PlistLimits.h"
#include "plist/PlistXmlStream.h"

namespace vantrel::plist {

namespace {

// The depths (elements open, the root value being 1) of the values the walk looks into.
constexpr std::size_t kProductsDepth = 2;
constexpr std::size_t kProductDepth = 3;
constexpr std::size_t kMetaInfoDepth = 4;
constexpr std::size_t kIdentifiersDepth = 5;

constexpr std::string_view kBinaryMagic = "bplist00";

enum class Tag : std::uint8_t { Dictionary, Array, Key, Leaf, Unknown };

Tag tagOf(const char* name) {
    const auto is = [name](const char* other) { return std::strcmp(name, other) == 0; };
    switch (name[0]) {
        case 'd':
            return is("dict") ? Tag::Dictionary : is("data") || is("date") ? Tag::Leaf : Tag::Unknown;
        case 'k':
            return is("key") ? Tag::Key : Tag::Unknown;
        case 's':
            return is("string") ? Tag::Leaf : Tag::Unknown;
        case 'i':
            return is("integer") ? Tag::Leaf : Tag::Unknown;
        case 'a':
            return is("array") ? Tag::Array : Tag::Unknown;
        case 'r':
            return is("real") ? Tag::Leaf : Tag::Unknown;
        case 't':
            return is("true") ? Tag::Leaf : Tag::Unknown;
        case 'f':
            return is("false") ? Tag::Leaf : Tag::Unknown;
        default:
            return Tag::Unknown;
    }
}

bool isBlank(std::string_view text) {
    for (const char c : text) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
            return false;
        }
    }
    return true;
}

bool isDictionary(plist_t node) {
    return node && plist_get_node_type(node) == PLIST_DICT;
}

bool mayBeInstaller(plist_t product) {
    return isDictionary(product) &&
           isDictionary(dictItem(dictItem(product, "ExtendedMetaInfo"),
                                 "InstallAssistantPackageIdentifiers"));
}

// Values in a tree that passed the bounds of PlistLimits.h (so no deeper than they allow).
std::size_t valuesIn(plist_t node) {
    std::size_t values = 1;
    if (plist_get_node_type(node) == PLIST_DICT) {
        values += plist_dict_get_size(node);  // the keys
        plist_dict_iter iterator = nullptr;
        plist_dict_new_iter(node, &iterator);
        while (true) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, iterator, &key, &item);
            if (!key) {
                break;
            }
            std::free(key);
            values += valuesIn(item);
        }
        std::free(iterator);
    } else if (plist_get_node_type(node) == PLIST_ARRAY) {
        for (std::uint32_t i = 0; i < plist_array_get_size(node); ++i) {
            values += valuesIn(plist_array_get_item(node, i));
        }
    }
    return values;
}

// A binary list, read whole.
CatalogShape readTree(std::string_view body, CatalogProductSink& sink) {
    const Plist catalog = parsePlist(body);
    if (!isDictionary(catalog.get())) {
        return CatalogShape::NotADictionary;
    }
    plist_t products = dictItem(catalog.get(), "Products");
    if (!isDictionary(products)) {
        return CatalogShape::NoProductsDictionary;
    }
    sink.productsBegin();
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(products, &iterator);
    bool accepted = true;
    while (accepted) {
        char* rawKey = nullptr;
        plist_t product = nullptr;
        plist_dict_next_item(products, iterator, &rawKey, &product);
        if (!rawKey) {
            break;
        }
        const std::string key(rawKey);
        std::free(rawKey);
        accepted = mayBeInstaller(product)
                       ? sink.possibleInstaller(key, Plist(plist_copy(product)), valuesIn(product))
                       : sink.otherProduct(key);
    }
    std::free(iterator);
    return accepted ? CatalogShape::Products : CatalogShape::NotADictionary;
}

}  // namespace

class CatalogProductReader::Walk : public PlistXmlStream {
  public:
    // The text read so far is either `growing` (appended to as it arrives) or, when that is
    // null, `whole`.
    Walk(const std::string* growing, std::string_view whole, CatalogProductSink& sink)
        : PlistXmlStream(kMaxPlistDepth), growing_(growing), whole_(whole), sink_(sink) {
        open_.reserve(16);
    }

    CatalogShape shape() const {
        if (!rootIsDictionary_) {
            return CatalogShape::NotADictionary;
        }
        return productsIsDictionary_ ? CatalogShape::Products : CatalogShape::NoProductsDictionary;
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

    bool opened(const char* name, std::size_t depth, std::size_t at, bool selfClosing) override {
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
        const bool keepKeys = keysKeptAt(depth);
        if (keepKeys) {
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
            if (keepKeys) {
                valueKey_[depth].swap(pendingKey_[depth]);
            }
        }
        if (keepKeys && !valueBegins(value, depth, at, selfClosing)) {
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
            if (dictionary) {
                sink_.productsBegin();
            }
        } else if (depth == kProductDepth && inProducts_) {
            if (!dictionary || selfClosing) {
                return sink_.otherProduct(valueKey_[depth]);
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

    bool closed(std::size_t depth, std::size_t end) override {
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
            return sink_.otherProduct(key);
        }
        const std::size_t values = elements_ - productElements_ + 1;
        if (values > kMaxPlistValues) {
            return false;  // more than one tree may hold, refused before the library sees it
        }
        const std::string_view text = growing_ ? std::string_view(*growing_) : whole_;
        Plist product = parseXmlPlistElement(text.substr(productStart_, end - productStart_));
        if (!product) {
            return false;
        }
        return sink_.possibleInstaller(key, std::move(product), values);
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

    // The text so far: a product's bytes are cut from it.
    const std::string* growing_;
    std::string_view whole_;
    CatalogProductSink& sink_;
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
};

CatalogProductReader::CatalogProductReader(CatalogProductSink& sink) : sink_(sink) {}

CatalogProductReader::~CatalogProductReader() = default;

bool CatalogProductReader::append(std::string_view bytes) {
    if (refused_) {
        return false;
    }
    const std::size_t known = body_.size();
    body_.append(bytes);
    if (body_.size() < kBinaryMagic.size() || body_.starts_with(kBinaryMagic)) {
        return true;  // a binary list is read whole at its end
    }
    if (!walk_) {
        walk_ = std::make_unique<Walk>(&body_, std::string_view(), sink_);
        refused_ = !walk_->feed(body_, false);
    } else {
        refused_ = !walk_->feed(std::string_view(body_).substr(known), false);
    }
    return !refused_;
}

CatalogShape CatalogProductReader::finish() {
    if (refused_ || body_.size() < kBinaryMagic.size()) {
        return CatalogShape::NotADictionary;
    }
    if (!walk_) {
        return readTree(body_, sink_);
    }
    if (!walk_->feed({}, true)) {
        return CatalogShape::NotADictionary;
    }
    return walk_->shape();
}

CatalogShape readCatalogProducts(std::string_view body, CatalogProductSink& sink) {
    if (body.size() < kBinaryMagic.size()) {
        return CatalogShape::NotADictionary;
    }
    if (body.starts_with(kBinaryMagic)) {
        return readTree(body, sink);
    }
    // Read in place: no copy of the text is kept besides the parser's of each piece.
    CatalogProductReader::Walk walk(nullptr, body, sink);
    return walk.read(body) ? walk.shape() : CatalogShape::NotADictionary;
}

}  // namespace vantrel::plist
