#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "plist/Plist.h"

namespace vantrel::plist {

// Receives the products of a software-update catalog's "Products" dictionary, in the
// catalog's order, as the reader meets them.
class CatalogProductSink {
  public:
    virtual ~CatalogProductSink() = default;
    // A "Products" dictionary begins. The root's last one is the catalog's: the products of
    // one met before are to be forgotten.
    virtual void productsBegin() = 0;
    // A product that cannot be an OS installer: not a dictionary, or without
    // "ExtendedMetaInfo"/"InstallAssistantPackageIdentifiers" dictionaries. No tree is built
    // for it. False refuses the catalog.
    virtual bool otherProduct(std::string_view key) = 0;
    // A product that may be one, with its tree, which holds `values` values (keys included).
    // False refuses the catalog.
    virtual bool possibleInstaller(std::string_view key, Plist product, std::size_t values) = 0;
};

// What a catalog's root held. Anything that is not a property-list dictionary, and any catalog
// refused on the way, is NotADictionary; the sink's products are then to be dropped.
enum class CatalogShape { NotADictionary, NoProductsDictionary, Products };

// Reads a catalog (an XML or binary property list) a piece at a time as it arrives, and
// hands its products to a sink. XML goes through one streaming pass (PlistXmlStream and its
// rules): only the bytes of a product that may be an installer are given to the
// property-list library, every other value is checked for the shape of a property list as
// it streams past (known tags, a key before each value of a dictionary, nothing inside
// leaves) and no tree is built for it. A binary list is read whole, within the bounds of
// PlistLimits.h. So about one piece of the text, one product's bytes and one product's tree
// at a time are held here (a binary list: all of it); what the sink keeps is its own to
// bound.
class CatalogProductReader {
  public:
    explicit CatalogProductReader(CatalogProductSink& sink);
    ~CatalogProductReader();
    CatalogProductReader(const CatalogProductReader&) = delete;
    CatalogProductReader& operator=(const CatalogProductReader&) = delete;

    // The next bytes of the catalog; false once it is refused (later bytes are then ignored).
    bool append(std::string_view bytes);
    // The catalog has ended: what it held.
    CatalogShape finish();

  private:
    class Walk;
    // Gives the walk the bytes not yet fed (made once the text is known to be no binary list).
    bool feedWalk(bool last);
    friend CatalogShape readCatalogProducts(std::string_view body, CatalogProductSink& sink);
    CatalogProductSink& sink_;
    // The part of the text that may still be needed, which begins at byte `from` of it.
    struct HeldText {
        std::string bytes;
        std::size_t from = 0;
    };
    HeldText held_;
    std::size_t fed_ = 0;  // bytes of the text given to the walk
    std::unique_ptr<Walk> walk_;
    bool refused_ = false;
};

// The whole catalog at once, read in place.
CatalogShape readCatalogProducts(std::string_view body, CatalogProductSink& sink);

}  // namespace vantrel::plist
