#include "caching/Catalog.h"

#include <cstdlib>
#include <memory>

#include "net/ContentDigest.h"
#include "net/Http.h"
#include "platform/Machine.h"
#include "platform/PrintableText.h"

namespace vantrel {

namespace {

bool isDictionary(plist_t node) {
    return node && plist_get_node_type(node) == PLIST_DICT;
}

}  // namespace

std::optional<std::string> catalogURL(std::int64_t minorVersion) {
    switch (minorVersion) {
        case 13:
            return "/content/catalogs/others/"
                   "index-10.13-10.12-10.11-10.10-10.9-mountainlion-lion-snowleopard-leopard."
                   "merged-1.sucatalog";
        case 14:
            return "/content/catalogs/others/"
                   "index-10.14-10.13-10.12-10.11-10.10-10.9-mountainlion-lion-snowleopard-"
                   "leopard.merged-1.sucatalog";
        case 15:
            return "/content/catalogs/others/"
                   "index-10.15-10.14-10.13-10.12-10.11-10.10-10.9-mountainlion-lion-"
                   "snowleopard-leopard.merged-1.sucatalog";
        case 16:
            return "/content/catalogs/others/"
                   "index-10.16-10.15-10.14-10.13-10.12-10.11-10.10-10.9-mountainlion-lion-"
                   "snowleopard-leopard.merged-1.sucatalog";
        default:
            return std::nullopt;
    }
}

ProductKind classifyProduct(plist_t product) {
    if (!isDictionary(product)) {
        return ProductKind::Other;
    }
    plist_t meta = plist::dictItem(product, "ExtendedMetaInfo");
    if (!isDictionary(meta)) {
        return ProductKind::Other;
    }
    plist_t identifiers = plist::dictItem(meta, "InstallAssistantPackageIdentifiers");
    if (!isDictionary(identifiers)) {
        return ProductKind::Other;
    }
    const auto osInstall = plist::stringForKey(identifiers, "OSInstall");
    if (!osInstall) {
        return ProductKind::NoOSInstall;
    }
    return *osInstall == kOSInstallPackageIdentifier ? ProductKind::Installer : ProductKind::Other;
}

CandidateSet filterInstallerProducts(plist_t products,
                                     const std::function<void(std::string_view)>& printLine) {
    CandidateSet candidates;
    if (!isDictionary(products)) {
        return candidates;
    }
    plist::forEachDictItem(products, [&](const char* key, plist_t product) {
        switch (classifyProduct(product)) {
            case ProductKind::Other:
                break;
            case ProductKind::NoOSInstall:
                printLine("no");
                break;
            case ProductKind::Installer:
                candidates.push_back({key, plist::Plist(plist_copy(product))});
                break;
        }
        return true;
    });
    return candidates;
}

CatalogReading readCatalogTree(std::string_view body,
                               const std::function<void(std::string_view)>& printLine) {
    CatalogReading reading;
    const plist::Plist catalog = plist::parsePlist(body);
    if (!isDictionary(catalog.get())) {
        return reading;
    }
    plist_t products = plist::dictItem(catalog.get(), "Products");
    if (!isDictionary(products)) {
        reading.outcome = CatalogReading::Outcome::NoProductsDictionary;
        return reading;
    }
    reading.outcome = CatalogReading::Outcome::Candidates;
    reading.candidates = filterInstallerProducts(products, printLine);
    return reading;
}

CatalogResult fetchInstallerProducts(const platform::Machine& machine, net::HttpClient& http,
                                     const std::function<void(std::string_view)>& printLine) {
    const platform::OSVersion running = machine.operatingSystemVersion();
    const auto path = catalogURL(running.minor);
    const std::string version = std::to_string(running.major) + "." +
                                std::to_string(running.minor) + "." + std::to_string(running.patch);
    if (!path) {
        return {std::nullopt, "No software update catalog is known for macOS " + version +
                                  "; only 10.13 to 10.16 are supported."};
    }
    const std::string url = machine.catalogServer() + *path;
    // Read while it arrives. A catalog refused on the way is no dictionary; the transfer
    // ends there.
    platform::Error error;
    CatalogStreamReader reader;
    bool refused = false;
    const bool fetched = http.fetchPieces(
        url,
        [&](std::string_view piece) {
            refused = !reader.append(piece);
            return !refused;
        },
        &error);
    if (!fetched && !refused) {
        return {std::nullopt, "Could not fetch the software update catalog " + url + ": " +
                                  platform::printableText(error.description)};
    }
    CatalogReading reading = reader.finish(printLine);
    switch (reading.outcome) {
        case CatalogReading::Outcome::Candidates:
            return {std::move(reading.candidates), {}};
        case CatalogReading::Outcome::NotADictionary:
            return {std::nullopt,
                    "The software update catalog " + url + " is not a property list dictionary."};
        case CatalogReading::Outcome::NoProductsDictionary:
            break;
    }
    return {std::nullopt,
            "The software update catalog " + url + " has no \"Products\" dictionary."};
}

std::map<std::string, net::ExpectedFile> packageExpectations(const CandidateSet& candidates) {
    std::map<std::string, net::ExpectedFile> expected;
    for (const auto& candidate : candidates) {
        plist_t packages = plist::dictItem(candidate.product.get(), "Packages");
        if (!packages || plist_get_node_type(packages) != PLIST_ARRAY) {
            continue;
        }
        const std::uint32_t count = plist_array_get_size(packages);
        for (std::uint32_t i = 0; i < count; ++i) {
            plist_t package = plist_array_get_item(packages, i);
            const auto url = plist::stringForKey(package, "URL");
            if (!url || expected.count(*url)) {
                continue;
            }
            net::ExpectedFile file;
            plist_t size = plist::dictItem(package, "Size");
            if (size && plist_get_node_type(size) == PLIST_UINT) {
                std::uint64_t bytes = 0;
                plist_get_uint_val(size, &bytes);
                // A negative integer reads as a huge one: no size is promised then.
                if (bytes <= static_cast<std::uint64_t>(INT64_MAX)) {
                    file.size = static_cast<std::int64_t>(bytes);
                }
            }
            const auto digest = plist::stringForKey(package, "Digest");
            if (digest && net::ContentDigest::algorithmOf(*digest)) {
                file.digest = net::lowerHex(*digest);
            }
            expected.emplace(*url, std::move(file));
        }
    }
    return expected;
}

}  // namespace vantrel
