#include "sim/lib/MirrorManifest.h"

#include <cstdlib>
#include <optional>
#include <stdexcept>

#include "plist/Plist.h"

namespace vantrel::sim {

namespace fs = std::filesystem;
using plist::dictItem;
using plist::Plist;
using plist::stringForKey;
using plist::stringValue;

namespace {

// A release's texts may carry control characters or bytes that are not UTF-8 (the
// "control-text" fault) that an XML property list cannot hold, or would turn into others (a
// carriage return reads as a line feed); those are kept as data, which reads back byte for byte.
plist_t manifestText(const std::string& text) {
    for (const unsigned char c : text) {
        if ((c < 0x20 && c != '\t' && c != '\n') || c >= 0x7f) {
            return plist_new_data(text.data(), text.size());
        }
    }
    return plist_new_string(text.c_str());
}

std::optional<std::string> manifestTextForKey(plist_t dict, const char* key) {
    plist_t node = dictItem(dict, key);
    if (node && plist_get_node_type(node) == PLIST_DATA) {
        char* bytes = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &bytes, &length);
        std::string text(bytes ? bytes : "", bytes ? length : 0);
        std::free(bytes);
        return text;
    }
    return stringForKey(dict, key);
}

plist_t stringArray(const std::vector<std::string>& items) {
    plist_t array = plist_new_array();
    for (const auto& item : items) {
        plist_array_append_item(array, plist_new_string(item.c_str()));
    }
    return array;
}

std::vector<std::string> readStrings(plist_t array) {
    std::vector<std::string> items;
    if (!array || plist_get_node_type(array) != PLIST_ARRAY) {
        return items;
    }
    for (std::uint32_t i = 0; i < plist_array_get_size(array); ++i) {
        if (auto text = stringValue(plist_array_get_item(array, i))) {
            items.push_back(*text);
        }
    }
    return items;
}

std::uint64_t readUnsigned(plist_t node) {
    std::uint64_t value = 0;
    if (node && plist_get_node_type(node) == PLIST_UINT) {
        plist_get_uint_val(node, &value);
    }
    return value;
}

bool readFlag(plist_t node) {
    std::uint8_t value = 0;
    if (node && plist_get_node_type(node) == PLIST_BOOLEAN) {
        plist_get_bool_val(node, &value);
    }
    return value != 0;
}

}  // namespace

const std::map<int, std::string>& catalogPaths() {
    static const std::map<int, std::string> paths = {
        {13,
         "/content/catalogs/others/"
         "index-10.13-10.12-10.11-10.10-10.9-mountainlion-lion-snowleopard-leopard.merged-1."
         "sucatalog"},
        {14,
         "/content/catalogs/others/"
         "index-10.14-10.13-10.12-10.11-10.10-10.9-mountainlion-lion-snowleopard-leopard."
         "merged-1.sucatalog"},
        {15,
         "/content/catalogs/others/"
         "index-10.15-10.14-10.13-10.12-10.11-10.10-10.9-mountainlion-lion-snowleopard-"
         "leopard.merged-1.sucatalog"},
        {16,
         "/content/catalogs/others/"
         "index-10.16-10.15-10.14-10.13-10.12-10.11-10.10-10.9-mountainlion-lion-"
         "snowleopard-leopard.merged-1.sucatalog"},
    };
    return paths;
}

void writeManifest(const fs::path& mirror, const MirrorManifest& manifest) {
    Plist root(plist_new_dict());
    plist_dict_set_item(root.get(), "BaseURL", plist_new_string(manifest.baseURL.c_str()));
    plist_dict_set_item(root.get(), "Products", plist_new_uint(manifest.products));
    plist_t releases = plist_new_array();
    for (const auto& release : manifest.releases) {
        plist_t item = plist_new_dict();
        plist_dict_set_item(item, "Name", manifestText(release.name));
        plist_dict_set_item(item, "Version", manifestText(release.version));
        plist_dict_set_item(item, "Build", manifestText(release.build));
        plist_dict_set_item(item, "ProductKey", manifestText(release.productKey));
        plist_dict_set_item(item, "DistributionURLs", stringArray(release.distributionURLs));
        plist_dict_set_item(item, "ServerMetadataURL",
                            plist_new_string(release.serverMetadataURL.c_str()));
        plist_dict_set_item(item, "PackageURLs", stringArray(release.packageURLs));
        plist_dict_set_item(item, "TotalBytes", plist_new_uint(release.totalBytes));
        plist_array_append_item(releases, item);
    }
    plist_dict_set_item(root.get(), "Releases", releases);
    plist_t rules = plist_new_dict();
    for (const auto& [path, rule] : manifest.rules) {
        plist_t item = plist_new_dict();
        if (rule.disposition) {
            plist_dict_set_item(item, "Disposition", manifestText(*rule.disposition));
        }
        if (!rule.behavior.empty()) {
            plist_dict_set_item(item, "Behavior", manifestText(rule.behavior));
        }
        if (rule.ignoreRanges) {
            plist_dict_set_item(item, "IgnoreRanges", plist_new_bool(1));
        }
        if (rule.changingValidator) {
            plist_dict_set_item(item, "ChangingValidator", plist_new_bool(1));
        }
        if (rule.busyAnswers > 0) {
            plist_dict_set_item(item, "BusyAnswers", plist_new_uint(rule.busyAnswers));
        }
        plist_dict_set_item(rules, path.c_str(), item);
    }
    plist_dict_set_item(root.get(), "Rules", rules);
    if (!plist::writePlistFile(mirror / kManifestFile, root.get())) {
        throw std::runtime_error("cannot write " + (mirror / kManifestFile).string());
    }
}

MirrorManifest readManifest(const fs::path& mirror) {
    Plist root = plist::readPlistFile(mirror / kManifestFile);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) {
        throw std::runtime_error(mirror.string() +
                                 " is not a mirror (no readable Mirror.plist); make one with "
                                 "vantrel-sim mirror");
    }
    MirrorManifest manifest;
    manifest.baseURL = stringForKey(root.get(), "BaseURL").value_or("");
    manifest.products = readUnsigned(dictItem(root.get(), "Products"));
    plist_t releases = dictItem(root.get(), "Releases");
    for (std::uint32_t i = 0; releases && plist_get_node_type(releases) == PLIST_ARRAY &&
                              i < plist_array_get_size(releases);
         ++i) {
        plist_t item = plist_array_get_item(releases, i);
        MirrorRelease release;
        release.name = manifestTextForKey(item, "Name").value_or("");
        release.version = manifestTextForKey(item, "Version").value_or("");
        release.build = manifestTextForKey(item, "Build").value_or("");
        release.productKey = manifestTextForKey(item, "ProductKey").value_or("");
        release.distributionURLs = readStrings(dictItem(item, "DistributionURLs"));
        release.serverMetadataURL = stringForKey(item, "ServerMetadataURL").value_or("");
        release.packageURLs = readStrings(dictItem(item, "PackageURLs"));
        release.totalBytes = readUnsigned(dictItem(item, "TotalBytes"));
        manifest.releases.push_back(std::move(release));
    }
    plist_t rules = dictItem(root.get(), "Rules");
    if (rules && plist_get_node_type(rules) == PLIST_DICT) {
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(rules, &it);
        char* key = nullptr;
        plist_t value = nullptr;
        while (true) {
            plist_dict_next_item(rules, it, &key, &value);
            if (!key) {
                break;
            }
            ServedFileRule rule;
            if (auto disposition = manifestTextForKey(value, "Disposition")) {
                rule.disposition = *disposition;
            }
            rule.behavior = manifestTextForKey(value, "Behavior").value_or("");
            rule.ignoreRanges = readFlag(dictItem(value, "IgnoreRanges"));
            rule.changingValidator = readFlag(dictItem(value, "ChangingValidator"));
            rule.busyAnswers = readUnsigned(dictItem(value, "BusyAnswers"));
            manifest.rules.emplace(key, rule);
            std::free(key);
            key = nullptr;
        }
        std::free(it);
    }
    if (manifest.baseURL.empty()) {
        throw std::runtime_error((mirror / kManifestFile).string() + " has no BaseURL");
    }
    return manifest;
}

}  // namespace vantrel::sim
