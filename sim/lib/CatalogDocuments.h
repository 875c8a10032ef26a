#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::sim {

// A package as the distribution file names it: the file beside the distribution file, and
// what the package installer checks before it trusts it (size and SHA-256).
struct DistributionPackage {
    std::string fileName;    // "InstallerCore.pkg"
    std::string identifier;  // "com.corvane.pkg.InstallerCore"
    std::uint64_t bytes = 0;
    std::string sha256;  // lower-case hex
    std::uint64_t installKBytes = 0;
    std::string sha1;  // lower-case hex: the catalog's "Digest"
};

// What a product's distribution file (an installer-gui-script) says.
struct DistributionDocument {
    std::string title;     // "macOS Catalina"
    std::string language;  // "English"
    std::string build;
    std::string version;
    std::vector<std::string> boardIds;
    std::vector<std::string> refusedModels;
    std::vector<DistributionPackage> packages;
    int scripts = 3;  // 1 for a file with a single script
    bool auxinfo = true;
};

// The distribution file: XML whose first <script> (CDATA) lists the supported board ids and
// whose third lists the refused models as JavaScript arrays of strings, and whose <auxinfo>
// dictionary holds the build (first string) and the version (second string).
std::string distributionXml(const DistributionDocument& document);

// The server metadata: an XML property list whose "localization" dictionary holds, per
// language, a description and a title, so that the title is the second string three
// dictionaries deep. With `withTitle` false only the description is there.
std::string serverMetadataXml(const std::string& title, const std::string& version,
                              const std::vector<std::string>& languages, bool withTitle);

// A document that is not XML at all, for servers that answer with something else.
std::string notXml(const std::string& what);

}  // namespace vantrel::sim
