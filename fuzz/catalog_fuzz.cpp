// The catalog filter: catalog bytes (XML or binary property list) to installer candidates.

#include <cstdlib>

#include "caching/Catalog.h"
#include "fuzz/FuzzSupport.h"
#include "platform/Plist.h"

using namespace vantrel;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::prepareProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const platform::Plist catalog = platform::parsePlist(fuzz::asText(data, size));
    if (!catalog || plist_get_node_type(catalog.get()) != PLIST_DICT) {
        return 0;
    }
    std::size_t lines = 0;
    const CandidateSet candidates = filterInstallerProducts(
        platform::dictItem(catalog.get(), "Products"), [&](std::string_view line) {
            if (line != "no") {
                std::abort();  // the filter's only line
            }
            ++lines;
        });
    for (const auto& candidate : candidates) {
        plist_t identifiers =
            platform::dictItem(platform::dictItem(candidate.product.get(), "ExtendedMetaInfo"),
                               "InstallAssistantPackageIdentifiers");
        if (platform::stringForKey(identifiers, "OSInstall") != kOSInstallPackageIdentifier) {
            std::abort();  // a product that is no OS installer became a candidate
        }
    }
    (void)lines;
    return 0;
}
