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

// Called for every element of the catalog: compared byte by byte, without a call.
bool named(const char* name, std::string_view tag) {
    for (const char c : tag) {
        if (*name++ != c) {
            return false;
        }
    }
    return *name == '\0';
}

Tag tagOf(const char* name) {
    switch (name[0]) {
        case 'k':
            return named(name, "key") ? Tag::Key : Tag::Unknown;
        case 's':
            return named(name, "string") ? Tag::Leaf : Tag::Unknown;
        case 'd':
            if (named(name, "dict")) {
                return Tag::Dictionary;
            }
            return named(name, "data") || named(name, "date") ? Tag::Leaf : Tag::Unknown;
        case 'i':
            return named(name, "integer") ? Tag::Leaf : Tag::Unknown;
        case 'a':
            return named(name, "array") ? Tag::Array : Tag::Unknown;
        case 'r':
            return named(name, "real") ? Tag::Leaf : Tag::Unknown;
        case 't':
            return named(name, "true") ? Tag::Leaf : Tag::Unknown;
        case 'f':
            return named(name, "false") ? Tag::Leaf : Tag::Unknown;
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
    return isDictionary(product) && isDictionary(dictItem(dictItem(product, "ExtendedMetaInfo"),
                                                          "InstallAssistantPackageIdentifiers"));
}

// Values in a tree that passed the bounds of PlistLimits.h (so no deeper than they allow).
std::size_t valuesIn(plist_t node) {
    std::size_t values = 1;
    if (plist_get_node_type(node) == PLIST_DICT) {
        values += plist_dict_get_size(node);  // the keys
        forEachDictItem(node, [&](const char*, plist_t item) {
            values += valuesIn(item);
            return true;
        });
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
    bool accepted = true;
    forEachDictItem(products, [&](const char* rawKey, plist_t product) {
        const std::string key(rawKey);
        accepted = mayBeInstaller(product)
                       ? sink.possibleInstaller(key, Plist(plist_copy(product)), valuesIn(product))
                       : sink.otherProduct(key);
        return accepted;
    });
    return accepted ? CatalogShape::Products : CatalogShape::NotADictionary;
}

}  // namespace

class CatalogProductReader::Walk : public PlistXmlStream {
  public:
    // The text is either `held` (the part of it still needed, as it arrives) or, when that
    // is null, `whole`.
    Walk(const HeldText* held, std::string_view whole, CatalogProductSink& sink)
        : PlistXmlStream(kMaxPlistDepth), held_(held), whole_(whole), sink_(sink) {
        open_.reserve(16);
    }

    // The first byte of the text the walk may still cut a product from: the product open, or
    // else the next tag, which the parser may hold unfinished.
    std::size_t neededFrom() const { return inProduct_ ? productStart_ : lastTagEnd(); }

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

    bool opened(const char* name, std::size_t depth, std::size_t at) override {
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
            if (tag == Tag::Key && !parent.keyPending && !openedSelfClosing()) {
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
        if (keepKeys && !valueBegins(value, depth, at)) {
            return false;
        }
        open_.push_back(value);
        return true;
    }

    // What the walk makes of a value where it looks: the root's "Products", a product, and
    // the two dictionaries inside a product that make it one to read.
    bool valueBegins(Open& value, std::size_t depth, std::size_t at) {
        const bool dictionary = value.tag == Tag::Dictionary;
        if (depth == kProductsDepth && valueKey_[depth] == "Products") {
            // The root's last "Products" is the one that counts.
            productsIsDictionary_ = dictionary;
            inProducts_ = dictionary && !openedSelfClosing();
            if (dictionary) {
                sink_.productsBegin();
            }
        } else if (depth == kProductDepth && inProducts_) {
            if (!dictionary || openedSelfClosing()) {
                return sink_.otherProduct(valueKey_[depth]);
            }
            value.isProduct = true;
            inProduct_ = true;
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
            inProduct_ = false;
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
        const std::string_view bytes =
            held_ ? std::string_view(held_->bytes)
                        .substr(productStart_ - held_->from, end - productStart_)
                  : whole_.substr(productStart_, end - productStart_);
        Plist product = parseXmlPlistElement(bytes);
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
    const HeldText* held_;
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
    bool inProduct_ = false;  // a product's dictionary is open
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
    held_.bytes.append(bytes);
    // The parser is given large pieces: each piece costs it a copy of the unfinished token at
    // its end, and a network delivers a few KiB at a time.
    constexpr std::size_t kPiece = 256 * 1024;
    if (held_.from + held_.bytes.size() - fed_ >= kPiece) {
        refused_ = !feedWalk(false);
    }
    return !refused_;
}

bool CatalogProductReader::feedWalk(bool last) {
    if (!walk_) {
        if (held_.bytes.starts_with(kBinaryMagic)) {
            return true;  // a binary list is read whole at its end
        }
        walk_ = std::make_unique<Walk>(&held_, std::string_view(), sink_);
    }
    const std::string_view piece = std::string_view(held_.bytes).substr(fed_ - held_.from);
    fed_ += piece.size();
    if (!walk_->feed(piece, last)) {
        return false;
    }
    // Only the product being read may still be cut from the text: the rest is let go, so
    // that what is held stays about one piece and one product.
    const std::size_t needed = walk_->neededFrom();
    held_.bytes.erase(0, needed - held_.from);
    held_.from = needed;
    return true;
}

CatalogShape CatalogProductReader::finish() {
    if (refused_ || held_.from + held_.bytes.size() < kBinaryMagic.size()) {
        return CatalogShape::NotADictionary;
    }
    if (!walk_ && held_.bytes.starts_with(kBinaryMagic)) {
        return readTree(held_.bytes, sink_);
    }
    if (!feedWalk(true)) {
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
