// Product selection's reading of a product's documents: the distribution file (.dist XML),
// the server metadata (.smd property list XML) and the product's own catalog entry. One input
// holds up to four pieces separated by "\n@@@@\n": the distribution file, the server
// metadata, the product dictionary (a property list; a well-formed default when absent or
// not a dictionary) and flag bytes (virtual machine, installer already cached).

#include <cstdlib>

#include "caching/ProductSelection.h"
#include "caching/XmlPath.h"
#include "fuzz/FuzzSupport.h"
#include "net/Http.h"
#include "plist/Plist.h"

using namespace vantrel;

namespace {

constexpr const char* kDistURL = "https://fuzz.test/content/001-1/001-1.English.dist";
constexpr const char* kMetadataURL = "https://fuzz.test/content/001-1/001-1.smd";

plist::Plist defaultProduct() {
    const std::string xml = std::string(
                                "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">"
                                "<dict><key>Distributions</key><dict><key>English</key><string>") +
                            kDistURL + "</string><key>en</key><string>" + kDistURL +
                            "</string></dict><key>ServerMetadataURL</key><string>" + kMetadataURL +
                            "</string><key>Packages</key><array><dict><key>URL</key>"
                            "<string>https://fuzz.test/content/001-1/InstallAssistantAuto.pkg"
                            "</string></dict></array></dict></plist>";
    return plist::parsePlist(xml);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::prepareProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto pieces = fuzz::splitInput(fuzz::asText(data, size), "\n@@@@\n");
    const std::string dist = pieces[0];
    const std::string metadata = pieces.size() > 1 ? pieces[1] : std::string();
    plist::Plist product = pieces.size() > 2 ? plist::parsePlist(pieces[2]) : nullptr;
    if (!product || plist_get_node_type(product.get()) != PLIST_DICT) {
        product = defaultProduct();
    }
    const unsigned flags =
        pieces.size() > 3 && !pieces[3].empty() ? static_cast<unsigned char>(pieces[3][0]) : 0;

    // The path evaluation on its own, with the paths the selection uses.
    for (const auto* document : {&dist, &metadata}) {
        if (const auto xml = parseXmlDocument(*document)) {
            (void)nodeValues(*xml, {"installer-gui-script", "script", "#text"});
            (void)nodeValues(*xml, {"installer-gui-script", "auxinfo", "dict", "string", "#text"});
            for (const auto& value :
                 nodeValues(*xml, {"plist", "dict", "dict", "dict", "string", "#text"})) {
                (void)productVersion(value);
            }
        }
    }

    SelectionServices services;
    services.hardwareIdentity = [flags] {
        return HardwareIdentity{"Mac-FUZZ", "iMacFuzz1,1", (flags & 1) != 0};
    };
    services.runningVersion = [] { return platform::OSVersion{10, 15, 0}; };
    services.fetchDocument = [&](const std::string& url,
                                 std::string* failure) -> std::optional<std::string> {
        if (url == kDistURL) {
            return dist;
        }
        if (url == kMetadataURL) {
            return metadata;
        }
        *failure = "the server answered with HTTP status 404";
        return std::nullopt;
    };
    services.readCachedBuild = [](const std::string&) { return std::string("19H15"); };
    services.isValidURL = [](std::string_view url) {
        return net::isValidURL(fuzz::network(), url);
    };
    services.printLine = [](std::string_view) {};

    SelectionRequest request;
    request.osNamed = "Catalina";
    if (flags & 2) {
        request.cachedInstallerPath =
            "/Library/Application Support/com.corvane.vantrel/Install macOS Catalina.app";
    }
    CandidateSet candidates;
    candidates.push_back({"001-1", std::move(product)});
    for (const auto& url : selectProductURLs(candidates, request, services)) {
        if (!net::isValidURL(fuzz::network(), url)) {
            std::abort();  // only valid URLs may reach the downloads
        }
    }
    return 0;
}
