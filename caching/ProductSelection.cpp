#include "caching/ProductSelection.h"

#include <charconv>
#include <cstdlib>
#include <tuple>

#include "base/Logging.h"
#include "base/ToolOutput.h"
#include "caching/XmlPath.h"
#include "caching/dmgMounter.h"
#include "net/Http.h"
#include "platform/PrintableText.h"

namespace vantrel {

namespace {

bool isLanguageWeRead(std::string_view key) {
    return key == "English" || key == "en" || key == "En";
}

// An empty text is found in no text.
bool containsText(std::string_view text, std::string_view needle) {
    return !needle.empty() && text.find(needle) != std::string_view::npos;
}

bool olderThan(const platform::OSVersion& a, const platform::OSVersion& b) {
    return std::tie(a.major, a.minor, a.patch) < std::tie(b.major, b.minor, b.patch);
}

// The entries of a dictionary, in its own order.
std::vector<std::pair<std::string, plist_t>> dictionaryEntries(plist_t dict) {
    std::vector<std::pair<std::string, plist_t>> entries;
    if (!dict || plist_get_node_type(dict) != PLIST_DICT) {
        return entries;
    }
    plist::forEachDictItem(dict, [&](const char* key, plist_t value) {
        entries.emplace_back(key, value);
        return true;
    });
    return entries;
}

class Selection {
  public:
    Selection(const SelectionRequest& request, const SelectionServices& services)
        : request_(request), services_(services) {}

    std::vector<std::string> run(const CandidateSet& candidates) {
        hardware_ = services_.hardwareIdentity();
        running_ = services_.runningVersion();
        for (const auto& candidate : candidates) {
            plist_t product = candidate.product.get();
            if (!product || plist_get_node_type(product) != PLIST_DICT) {
                continue;
            }
            for (const auto& [language, distribution] :
                 dictionaryEntries(plist::dictItem(product, "Distributions"))) {
                if (!isLanguageWeRead(language)) {
                    continue;
                }
                if (testProduct(candidate.productKey, product, distribution)) {
                    return std::move(urls_);  // the cached build is the latest: stop here
                }
            }
        }
        return std::move(urls_);
    }

  private:
    // `reason` holds the server's texts already made printable.
    void skip(const std::string& productKey, const std::string& reason) {
        services_.printLine("Skipping product " + platform::printableText(productKey) + ": " +
                            reason);
    }

    std::optional<pugi::xml_document> fetchXml(const std::string& productKey,
                                               const std::string& url, const char* what) {
        std::string failure;
        const auto text = services_.fetchDocument(url, &failure);
        if (!text) {
            skip(productKey, std::string("could not fetch its ") + what + " " +
                                 platform::printableText(url) + ": " +
                                 platform::printableText(failure));
            return std::nullopt;
        }
        auto document = parseXmlDocument(*text, &failure);
        if (!document) {
            skip(productKey,
                 std::string("its ") + what + " " + platform::printableText(url) + " " + failure);
        }
        return document;
    }

    // Puts one product and one of its distribution files through the tests; true when the
    // selection ends here because the product's build is already cached.
    bool testProduct(const std::string& key, plist_t product, plist_t distribution) {
        const auto distributionURL = plist::stringValue(distribution);
        if (!distributionURL) {
            skip(key, "its English distribution is not a URL text");
            return false;
        }
        if (!services_.isValidURL(*distributionURL)) {
            return false;
        }
        const std::string shownURL = platform::printableText(*distributionURL);
        const auto dist = fetchXml(key, *distributionURL, "distribution file");
        if (!dist) {
            return false;
        }
        // The tests read script texts 0 and 2 and auxiliary strings 0 and 1: no more are kept.
        const auto scripts = nodeValues(*dist, {"installer-gui-script", "script", "#text"}, 3);
        if (scripts.empty()) {
            skip(key, "its distribution file " + shownURL + " holds no script");
            return false;
        }
        if (containsText(scripts[0], hardware_.boardID)) {
            if (!hardware_.virtualMachine) {
                if (scripts.size() < 3) {
                    skip(key, "its distribution file " + shownURL +
                                  " lacks the script that names unsupported models");
                    return false;
                }
                if (containsText(scripts[2], hardware_.model)) {
                    return false;
                }
            }
        } else if (!hardware_.virtualMachine) {
            return false;
        }

        const auto auxiliary =
            nodeValues(*dist, {"installer-gui-script", "auxinfo", "dict", "string", "#text"}, 2);
        if (auxiliary.size() < 2) {
            skip(key, "its distribution file " + shownURL + " names no build and version");
            return false;
        }
        const auto version = productVersion(auxiliary[1]);
        if (!version) {
            skip(key,
                 "its version \"" + platform::printableText(auxiliary[1]) + "\" cannot be read");
            return false;
        }
        if (olderThan(*version, running_)) {
            return false;
        }

        const auto metadataURL = plist::stringForKey(product, "ServerMetadataURL");
        if (!metadataURL) {
            skip(key, "it has no \"ServerMetadataURL\" text");
            return false;
        }
        if (!services_.isValidURL(*metadataURL)) {
            return false;
        }
        const auto metadata = fetchXml(key, *metadataURL, "server metadata");
        if (!metadata) {
            return false;
        }
        const auto strings =
            nodeValues(*metadata, {"plist", "dict", "dict", "dict", "string", "#text"}, 2);
        if (strings.size() < 2) {
            skip(key, "its server metadata " + platform::printableText(*metadataURL) +
                          " holds no title");
            return false;
        }
        if (removingAll(strings[1], "macOS ") != request_.osNamed) {
            return false;
        }
        const auto packages = packageURLs(key, product);
        if (!packages) {
            return false;
        }

        if (request_.cachedInstallerPath) {
            // Both builds are the server's: the cached one was assembled from its packages.
            const std::string cached = services_.readCachedBuild(*request_.cachedInstallerPath);
            const std::string& available = auxiliary[0];
            if (!cached.empty() && cached == available) {
                const std::string shownBuild = platform::printableText(cached);
                services_.printLine("Latest build is cached: " + shownBuild);
                cachingLog().notice("Latest build is cached: %{public}s", shownBuild);
                return true;
            }
            const std::string shownVersion = platform::printableText(auxiliary[1]);
            const std::string shownCached = platform::printableText(cached);
            const std::string shownAvailable = platform::printableText(available);
            services_.printLine("Available Version: " + shownVersion);
            services_.printLine("Cached Build: " + shownCached);
            services_.printLine("A newer build is available: " + shownAvailable);
            cachingLog().debug("Available Version: %{public}s", shownVersion);
            cachingLog().debug("Cached Build: %{public}s", shownCached);
            cachingLog().debug("Available Version: %{public}s", shownAvailable);
        }
        urls_.push_back(*distributionURL);
        urls_.insert(urls_.end(), packages->begin(), packages->end());
        return false;
    }

    // The "URL" of every package, in order; absent (and a line) when any is missing or bad,
    // since an installer assembled from part of its packages cannot work.
    std::optional<std::vector<std::string>> packageURLs(const std::string& key, plist_t product) {
        plist_t packages = plist::dictItem(product, "Packages");
        if (!packages || plist_get_node_type(packages) != PLIST_ARRAY) {
            skip(key, "it has no \"Packages\" list");
            return std::nullopt;
        }
        std::vector<std::string> urls;
        const std::uint32_t count = plist_array_get_size(packages);
        for (std::uint32_t i = 0; i < count; ++i) {
            const auto url = plist::stringForKey(plist_array_get_item(packages, i), "URL");
            if (!url || !services_.isValidURL(*url)) {
                skip(key, "package " + std::to_string(i + 1) + " has no valid \"URL\"");
                return std::nullopt;
            }
            urls.push_back(*url);
        }
        return urls;
    }

    const SelectionRequest& request_;
    const SelectionServices& services_;
    HardwareIdentity hardware_;
    platform::OSVersion running_;
    std::vector<std::string> urls_;
};

}  // namespace

std::optional<platform::OSVersion> productVersion(std::string_view text) {
    std::int64_t parts[3] = {};
    std::size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        if (start > text.size()) {
            return std::nullopt;
        }
        const std::size_t dot = text.find('.', start);
        std::string_view part = text.substr(
            start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        // An optional sign, then digits only.
        bool negative = false;
        if (!part.empty() && (part.front() == '+' || part.front() == '-')) {
            negative = part.front() == '-';
            part.remove_prefix(1);
        }
        if (part.empty() || part.front() == '+' || part.front() == '-') {
            return std::nullopt;
        }
        std::int64_t value = 0;
        const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (error != std::errc() || end != part.data() + part.size()) {
            return std::nullopt;
        }
        parts[i] = negative ? -value : value;
        if (dot == std::string_view::npos) {
            start = text.size() + 1;
        } else {
            start = dot + 1;
        }
    }
    return platform::OSVersion{parts[0], parts[1], parts[2]};
}

SelectionServices platformSelectionServices(const platform::Services& platform,
                                            net::NetworkPlugIn& network, net::HttpClient& http) {
    SelectionServices services;
    services.hardwareIdentity = [&machine = platform.machine] {
        return readHardwareIdentity(machine);
    };
    services.runningVersion = [&machine = platform.machine] {
        return machine.operatingSystemVersion();
    };
    services.fetchDocument = [&http](const std::string& url, std::string* failure) {
        platform::Error error;
        auto body = http.fetch(url, &error);
        if (!body && failure) {
            *failure = error.description;
        }
        return body;
    };
    services.readCachedBuild = [platform](const std::string& installerPath) {
        return dmgMounter::readCachedBuild(platform, installerPath);
    };
    services.isValidURL = [&network](std::string_view url) {
        return net::isValidURL(network, url);
    };
    services.printLine = [&console = platform.console](std::string_view line) {
        console.printLine(line);
    };
    return services;
}

std::vector<std::string> selectProductURLs(const CandidateSet& candidates,
                                           const SelectionRequest& request,
                                           const SelectionServices& services) {
    return Selection(request, services).run(candidates);
}

}  // namespace vantrel
