#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "caching/Catalog.h"
#include "caching/HardwareIdentity.h"
#include "net/Http.h"
#include "platform/Machine.h"
#include "platform/Services.h"

namespace vantrel {

// What product selection asks of the machine and the network. The program uses the real
// ones (platformSelectionServices); tests hand in canned documents.
struct SelectionServices {
    std::function<HardwareIdentity()> hardwareIdentity;
    std::function<platform::OSVersion()> runningVersion;
    // The whole document at a URL, or absent with the reason in `failure`.
    std::function<std::optional<std::string>(const std::string& url, std::string* failure)>
        fetchDocument;
    std::function<std::string(const std::string& installerPath)> readCachedBuild;
    // Whether a URL from the catalog or a metadata file is one the network would take.
    std::function<bool(std::string_view url)> isValidURL;
    std::function<void(std::string_view line)> printLine;
};

// The program's: this Mac's hardware and OS, documents fetched with `http`.
SelectionServices platformSelectionServices(const platform::Services& platform,
                                            net::NetworkPlugIn& network, net::HttpClient& http);

// What the run settings tell the selection.
struct SelectionRequest {
    std::string osNamed;                             // release name asked for, e.g. "Catalina"
    std::optional<std::string> cachedInstallerPath;  // the installer already on the Mac
};

// The URLs to download for the candidates that fit this Mac, are not older than the running
// OS and are the release asked for: per kept product its distribution file, then its packages.
// Products are taken in the candidates' order, once per "English", "en" or "En" distribution.
// Stops at once, returning what it has, when a kept product's build is the cached build.
// A product whose documents cannot be fetched or have the wrong shape is skipped with a
// line on standard output; one that fails a test is skipped silently.
std::vector<std::string> selectProductURLs(const CandidateSet& candidates,
                                           const SelectionRequest& request,
                                           const SelectionServices& services);

// Reads "10.15.7" as {10, 15, 7}: the first three "."-separated parts, each an optional sign
// and decimal digits only; absent when there are fewer or one is not such an integer.
std::optional<platform::OSVersion> productVersion(std::string_view text);

}  // namespace vantrel
