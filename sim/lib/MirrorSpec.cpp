#include "sim/lib/MirrorSpec.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <sstream>

#include "sim/lib/SimulatedMac.h"

namespace vantrel::sim {

namespace {

bool fail(std::string* error, const std::string& message) {
    if (error) {
        *error = message;
    }
    return false;
}

std::vector<std::string> splitList(std::string_view text) {
    std::vector<std::string> items;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t plus = text.find('+', start);
        const std::size_t end = plus == std::string_view::npos ? text.size() : plus;
        if (end > start) {
            items.emplace_back(text.substr(start, end - start));
        }
        if (plus == std::string_view::npos) {
            break;
        }
        start = plus + 1;
    }
    return items;
}

std::optional<int> parseInt(std::string_view text) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

bool isPlainWord(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '.' || c == '-' || c == '_' || c == ',';
    });
}

bool knownFault(const std::string& name) {
    const auto& faults = releaseFaults();
    return std::any_of(faults.begin(), faults.end(),
                       [&](const FaultInfo& fault) { return name == fault.name; });
}

bool applyField(ReleaseSpec& spec, const std::string& key, const std::string& value,
                std::string* error) {
    if (key == "name") {
        spec.name = value;
    } else if (key == "version") {
        spec.version = value;
    } else if (key == "build") {
        spec.build = value;
    } else if (key == "key") {
        spec.productKey = value;
    } else if (key == "boards") {
        spec.boardIds = splitList(value);
    } else if (key == "refuse") {
        spec.refusedModels = splitList(value);
    } else if (key == "languages") {
        spec.languages = splitList(value);
    } else if (key == "osinstall") {
        spec.osInstall = value;
    } else if (key == "catalogs") {
        spec.catalogs.clear();
        for (const auto& item : splitList(value)) {
            const auto minor = parseInt(item);
            if (!minor || *minor < 13 || *minor > 16) {
                return fail(error,
                            "catalogs are OS minor versions from 13 to 16, not '" + item + "'");
            }
            spec.catalogs.push_back(*minor);
        }
    } else if (key == "packages") {
        const auto count = parseInt(value);
        if (!count || *count < 1 || *count > 64) {
            return fail(error, "packages must be a number from 1 to 64, not '" + value + "'");
        }
        spec.packages = *count;
    } else if (key == "size") {
        const auto bytes = parseByteSize(value);
        if (!bytes) {
            return fail(error,
                        "size must be a byte count such as 512M or 4GiB, not '" + value + "'");
        }
        spec.totalBytes = *bytes;
    } else if (key == "shape") {
        if (value != "mixed" && value != "large") {
            return fail(error, "shape is 'mixed' or 'large', not '" + value + "'");
        }
        spec.shape = value == "large" ? PackageShape::Large : PackageShape::Mixed;
    } else if (key == "faults") {
        for (const auto& fault : splitList(value)) {
            if (!knownFault(fault)) {
                return fail(error, "unknown fault '" + fault + "'");
            }
            spec.faults.insert(fault);
        }
    } else {
        return fail(error, "unknown release field '" + key + "'");
    }
    return true;
}

void fillDefaults(ReleaseSpec& spec) {
    for (const auto& known : knownReleases()) {
        if (spec.name == known.name) {
            if (spec.version.empty()) {
                spec.version = known.version;
            }
            if (spec.build.empty()) {
                spec.build = known.build;
            }
        }
    }
    if (spec.boardIds.empty()) {
        spec.boardIds = defaultBoardIds();
    }
    if (spec.refusedModels.empty()) {
        spec.refusedModels = defaultRefusedModels();
    }
    if (spec.languages.empty()) {
        spec.languages = {"English", "French", "German", "Japanese", "es", "it", "nl"};
    }
    if (spec.catalogs.empty()) {
        spec.catalogs = {13, 14, 15, 16};
    }
}

}  // namespace

const std::vector<FaultInfo>& releaseFaults() {
    static const std::vector<FaultInfo> faults = {
        {"distributions-not-dict", "the product's \"Distributions\" is an array"},
        {"distribution-not-text", "its \"English\" distribution entry is a number"},
        {"no-server-metadata-url", "the product has no \"ServerMetadataURL\""},
        {"bad-server-metadata-url", "its \"ServerMetadataURL\" is not a URL"},
        {"packages-not-array", "its \"Packages\" is a dictionary"},
        {"package-without-url", "its first package has no \"URL\""},
        {"bad-package-url", "its first package's \"URL\" is not a URL"},
        {"dist-missing", "the distribution files are not on the server (404)"},
        {"dist-not-xml", "the distribution files are not XML"},
        {"dist-huge", "the distribution files are well-formed but larger than 65 MiB"},
        {"dist-stall", "the server stalls before answering for a distribution file"},
        {"dist-few-scripts", "the distribution files hold a single <script>"},
        {"dist-no-auxinfo", "the distribution files have no <auxinfo>"},
        {"dist-bad-version", "the <auxinfo> version has two parts (\"10.15\")"},
        {"smd-missing", "the server metadata is not on the server (404)"},
        {"smd-not-xml", "the server metadata is not XML"},
        {"smd-no-title", "the server metadata holds a single string (no title)"},
        {"package-missing", "the last package is not on the server (404)"},
        {"package-error", "the server fails to answer for the last package (500)"},
        {"package-corrupt", "the last package's bytes differ from its recorded digest"},
        {"truncate", "the server cuts the largest package off in the middle"},
        {"cut-once",
         "the server cuts the largest package off in the middle the first time, then serves it"},
        {"stall-once",
         "the server stops sending in the middle of the largest package the first time (for "
         "the stall time), then serves it"},
        {"corrupt-once",
         "the server changes a byte in the middle of the largest package the first time, then "
         "serves it intact"},
        {"ignore-ranges", "the server answers range requests for packages with the whole file"},
        {"validator-changes",
         "the server gives the packages another ETag and Last-Modified with every answer"},
        {"busy", "the server answers 503 to the first two requests for each package"},
        {"size-differs", "the catalog gives the last package's \"Size\" one byte too many"},
        {"stall", "the server stops sending in the middle of the largest package"},
        {"unsafe-names",
         "the server offers path-like file names: the distribution files as \"../<name>\", the "
         "packages in turn as \"../../etc/passwd\", \"/abs\", \"..\", \"sub/dir.pkg\""},
        {"no-disposition", "the server sends no Content-Disposition for the product's files"},
        {"control-text",
         "the product's key in the catalog, its build, its version and the names the server "
         "offers for its distribution files carry line ends, escape sequences, other control "
         "characters and backslashes that make up lines of the program's own"},
    };
    return faults;
}

const std::vector<FaultInfo>& catalogFaults() {
    static const std::vector<FaultInfo> faults = {
        {"missing", "the catalogs are not on the server (404)"},
        {"error", "the server fails to answer for the catalogs (500)"},
        {"not-plist", "the catalogs are not property lists"},
        {"not-dict", "the catalogs are property lists whose root is an array"},
        {"no-products", "the catalogs have no \"Products\""},
        {"products-not-dict", "the catalogs' \"Products\" is an array"},
        {"stall", "the server stalls before answering for a catalog"},
        {"truncate", "the server cuts each catalog off in the middle"},
        {"too-deep", "the catalogs hold a value of 200,000 arrays nested in each other"},
    };
    return faults;
}

const std::vector<KnownRelease>& knownReleases() {
    static const std::vector<KnownRelease> releases = {
        {"Catalina", "10.15.7", "19H15"},
        {"Mojave", "10.14.6", "18G103"},
        {"HighSierra", "10.13.6", "17G66"},
    };
    return releases;
}

std::vector<std::string> defaultBoardIds() {
    return {MacSpec{}.boardId, "Mac-0CFF9C7C2B63DF8D", "Mac-4B682C642B45593E",
            "Mac-7BA5B2DFE22DDD8C", "Mac-E1008331FDC96864"};
}

std::vector<std::string> defaultRefusedModels() {
    return {"MacBookPro4,1", "MacBookAir2,1", "iMac8,1", "MacPro3,1", "Macmini3,1"};
}

std::optional<std::uint64_t> parseByteSize(std::string_view text) {
    std::size_t digits = 0;
    while (digits < text.size() &&
           (std::isdigit(static_cast<unsigned char>(text[digits])) || text[digits] == '.')) {
        ++digits;
    }
    if (digits == 0) {
        return std::nullopt;
    }
    double number = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + digits, number);
    if (ec != std::errc() || end != text.data() + digits) {
        return std::nullopt;
    }
    std::string unit(text.substr(digits));
    std::transform(unit.begin(), unit.end(), unit.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (unit.size() > 1 && unit.back() == 'B') {
        unit.pop_back();
    }
    if (unit.size() == 2 && unit.back() == 'I') {
        unit.pop_back();
    }
    double multiple = 1;
    if (unit == "K") {
        multiple = 1024.0;
    } else if (unit == "M") {
        multiple = 1024.0 * 1024;
    } else if (unit == "G") {
        multiple = 1024.0 * 1024 * 1024;
    } else if (!unit.empty() && unit != "B") {
        return std::nullopt;
    }
    const double bytes = std::floor(number * multiple);
    if (!(bytes >= 0) || bytes > 1e15) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(bytes);
}

std::optional<ReleaseSpec> parseReleaseSpec(std::string_view text, std::string* error) {
    ReleaseSpec spec;
    std::istringstream words{std::string(text)};
    std::string word;
    bool first = true;
    while (words >> word) {
        const std::size_t equals = word.find('=');
        if (equals == std::string::npos) {
            if (!first) {
                fail(error, "expected key=value, not '" + word + "'");
                return std::nullopt;
            }
            // NAME[:VERSION[:BUILD]]
            std::string parts[3];
            std::istringstream fields(word);
            for (auto& part : parts) {
                std::getline(fields, part, ':');
            }
            spec.name = parts[0];
            spec.version = parts[1];
            spec.build = parts[2];
        } else if (!applyField(spec, word.substr(0, equals), word.substr(equals + 1), error)) {
            return std::nullopt;
        }
        first = false;
    }
    fillDefaults(spec);
    if (spec.name.empty() || spec.name.find_first_of("/\\\"<>&") != std::string::npos) {
        fail(error, "a release needs a plain name, such as Catalina: '" + std::string(text) + "'");
        return std::nullopt;
    }
    if (spec.version.empty() || spec.build.empty() || !isPlainWord(spec.version) ||
        !isPlainWord(spec.build)) {
        fail(error, "release " + spec.name + " needs a version and a build (NAME:VERSION:BUILD)");
        return std::nullopt;
    }
    if (!spec.productKey.empty() && !isPlainWord(spec.productKey)) {
        fail(error, "a product key is letters, digits, '-' and '.': '" + spec.productKey + "'");
        return std::nullopt;
    }
    for (const auto& list : {spec.boardIds, spec.refusedModels, spec.languages}) {
        for (const auto& item : list) {
            if (!isPlainWord(item)) {
                fail(error,
                     "list items are letters, digits, '-', '.', ',' and '_': '" + item + "'");
                return std::nullopt;
            }
        }
    }
    return spec;
}

}  // namespace vantrel::sim
