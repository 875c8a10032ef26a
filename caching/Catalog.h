#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/ExpectedFile.h"
#include "net/Http.h"
#include "platform/Machine.h"
#include "plist/Plist.h"

namespace vantrel {

// One complete OS installer product of the software-update catalog: its product key and its
// dictionary exactly as the catalog holds it.
struct Candidate {
    std::string productKey;
    plist::Plist product;
};
// The installer products, in the catalog's own order.
using CandidateSet = std::vector<Candidate>;

inline constexpr std::string_view kOSInstallPackageIdentifier = "com.apple.mpkg.OSInstall";

// The catalog's URL path for the running OS's minor version (13 to 16); absent for any other.
std::optional<std::string> catalogURL(std::int64_t minorVersion);

// What the installer filter makes of one product of the catalog.
enum class ProductKind {
    Other,        // not an installer, or of the wrong shape: skipped without a word
    NoOSInstall,  // its package identifiers lack a text "OSInstall": skipped with "no"
    Installer,    // "OSInstall" is "com.apple.mpkg.OSInstall": a candidate
};
ProductKind classifyProduct(plist_t product);

// The products of a catalog's "Products" dictionary that are complete OS installers (their
// "ExtendedMetaInfo"/"InstallAssistantPackageIdentifiers"/"OSInstall" is
// "com.apple.mpkg.OSInstall"). Entries of the wrong shape are skipped; one whose "OSInstall"
// is missing or not text writes "no" through `printLine`. A product whose "OSInstall" names
// another package is skipped like any product that is no installer: it does not drop the
// candidates found before it.
CandidateSet filterInstallerProducts(plist_t products,
                                     const std::function<void(std::string_view)>& printLine);

// A catalog's bytes read: its installer products, or why it has none to give.
struct CatalogReading {
    enum class Outcome { Candidates, NotADictionary, NoProductsDictionary };
    Outcome outcome = Outcome::NotADictionary;
    CandidateSet candidates;
};

// Reads the catalog in one streaming pass (plist/CatalogProducts.h), building a tree only for
// the products that can be installers; binary lists are read whole. For a catalog
// that both read, gives what `readCatalogTree` gives, with the same "no" lines in the same
// order; XML that is not well-formed is refused, and so is a value of the wrong shape that
// the library would refuse, except the text of values no tree is built for.
CatalogReading readCatalog(std::string_view body,
                           const std::function<void(std::string_view)>& printLine);

// The same reading, of a catalog given a piece at a time as it arrives, so that the reading
// overlaps the transfer.
class CatalogStreamReader {
  public:
    CatalogStreamReader();
    ~CatalogStreamReader();
    CatalogStreamReader(const CatalogStreamReader&) = delete;
    CatalogStreamReader& operator=(const CatalogStreamReader&) = delete;

    // The next bytes; false once the catalog is refused (it is then no dictionary).
    bool append(std::string_view bytes);
    // The catalog has ended.
    CatalogReading finish(const std::function<void(std::string_view)>& printLine);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Reads the catalog as one tree (the property-list library's parse of the whole document),
// then filters its "Products" dictionary. "no" lines are written only for a catalog that is
// read.
CatalogReading readCatalogTree(std::string_view body,
                               const std::function<void(std::string_view)>& printLine);

// The outcome of reading the catalog: the candidates, or why there are none to be had.
struct CatalogResult {
    std::optional<CandidateSet> candidates;
    std::string failure;  // one line for the operator when `candidates` is absent
};

// What the catalog promises of each package of the candidates, by the package's "URL": its
// "Size" (an integer) and, when it is 40 or 64 hex digits, its "Digest" (SHA-1 or SHA-256 of
// the package's bytes). Entries of another shape promise nothing; the first entry of a URL
// counts.
std::map<std::string, net::ExpectedFile> packageExpectations(const CandidateSet& candidates);

// Reads the catalog for the running OS from the software-update server (blocking) and keeps
// its installer products; "no" lines go to `printLine`.
CatalogResult fetchInstallerProducts(const platform::Machine& machine, net::HttpClient& http,
                                     const std::function<void(std::string_view)>& printLine);

}  // namespace vantrel
